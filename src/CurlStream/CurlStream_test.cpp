#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CurlStream/BufferReader.h"
#include "CurlStream/BufferWriter.h"
#include "CurlStream/FileWriter.h"
#include "kivtest/kivtest.h"

namespace {

using CurlStream::StreamMode;

std::string ReadAll(CurlStream::BufferReader& reader, std::size_t room) {
    std::string out;
    char chunk[64];
    for (std::size_t n; (n = reader.Read(chunk, 1, room)) != 0;) out.append(chunk, n);
    return out;
}

TEST(BufferReader, HandsOutTheBlockInPiecesThenZero) {
    CurlStream::BufferReader reader;
    reader.SetData("0123456789", 10, false);
    char chunk[4];
    EXPECT_EQ(reader.Read(chunk, 1, 4), 4u);
    EXPECT_EQ(std::string(chunk, 4), "0123");
    EXPECT_EQ(reader.Read(chunk, 2, 2), 4u);
    EXPECT_EQ(reader.Read(chunk, 4, 1), 2u);
    EXPECT_EQ(std::string(chunk, 2), "89");
    EXPECT_EQ(reader.Read(chunk, 1, 4), 0u);
    EXPECT_EQ(reader.Size(), 10);
}

TEST(BufferReader, CopyIsIndependentOfTheCallerAndReloadStartsOver) {
    char source[] = "first";
    CurlStream::BufferReader reader;
    reader.SetData(source, 5, true);
    std::memset(source, 'X', 5);
    EXPECT_EQ(ReadAll(reader, 3), "first");
    reader.SetData("second", 6, true);  // frees the first copy
    EXPECT_EQ(ReadAll(reader, 64), "second");
    reader.SetData(nullptr, 0, true);
    EXPECT_EQ(reader.Size(), 0);
    EXPECT_EQ(ReadAll(reader, 64), "");
}

TEST(BufferWriter, KeepsNulBytesAndTerminatesTheData) {
    CurlStream::BufferWriter writer;
    EXPECT_STREQ(writer.Data(), "");
    const char bytes[] = {'a', '\0', 'b', '\0'};
    EXPECT_EQ(writer.Write(bytes, 1, 4), 4u);
    EXPECT_EQ(writer.Write(bytes, 2, 1), 2u);
    ASSERT_EQ(writer.Length(), 6u);
    EXPECT_EQ(std::memcmp(writer.Data(), "a\0b\0a\0", 6), 0);
    EXPECT_EQ(writer.Data()[6], '\0');
    EXPECT_EQ(writer.Size(), 6);
}

class FileWriterTest : public testing::Test {
protected:
    kivtest::TempDir dir;
    CURL* handle = curl_easy_init();
    void TearDown() override { curl_easy_cleanup(handle); }
};

TEST_F(FileWriterTest, OpensOnlyOnTheFirstWrite) {
    const std::string path = dir.Path("existing");
    ASSERT_TRUE(kivtest::WriteFile(path, "untouched"));
    {
        CurlStream::FileWriter writer;
        writer.SetPath(path.c_str());
        writer.Attach(handle, StreamMode::Write);
        writer.Detach(handle);
    }
    EXPECT_EQ(kivtest::ReadFile(path), "untouched");

    CurlStream::FileWriter writer;
    writer.SetPath(path.c_str());
    writer.Attach(handle, StreamMode::Write);
    EXPECT_EQ(writer.Write("new", 1, 3), 3u);
    writer.Detach(handle);  // closes the file
    EXPECT_EQ(kivtest::ReadFile(path), "new");
    EXPECT_EQ(writer.Mode(), StreamMode::None);
}

TEST_F(FileWriterTest, RefusesEveryWriteWithoutAPath) {
    CurlStream::FileWriter writer;
    EXPECT_EQ(writer.Write("x", 1, 1), 0u);
    writer.SetPath(nullptr);
    EXPECT_EQ(writer.Write("x", 1, 1), 0u);
    writer.SetPath(dir.Path("missing/dir/file").c_str());
    EXPECT_EQ(writer.Write("x", 1, 1), 0u);
}

TEST_F(FileWriterTest, DestructorClosesAFileLeftOpen) {
    const std::string path = dir.Path("open");
    {
        CurlStream::FileWriter writer;
        writer.SetPath(path.c_str());
        writer.Write("kept", 1, 4);
    }
    EXPECT_EQ(kivtest::ReadFile(path), "kept");
}

TEST_F(FileWriterTest, UnknownModeIsStoredAndDetachStillCloses) {
    const std::string path = dir.Path("odd");
    CurlStream::FileWriter writer;
    writer.SetPath(path.c_str());
    writer.Attach(handle, static_cast<StreamMode>(9));
    EXPECT_EQ(writer.Mode(), static_cast<StreamMode>(9));
    writer.Write("ab", 1, 2);
    writer.Detach(handle);
    EXPECT_EQ(writer.Mode(), StreamMode::None);
    EXPECT_EQ(kivtest::ReadFile(path), "ab");
}

TEST(CurlData, DetachedSinksReceiveNothingFromATransfer) {
    kivtest::TestServer server;
    CURL* handle = curl_easy_init();
    CurlStream::BufferWriter headers, body;
    headers.Attach(handle, StreamMode::Header);
    body.Attach(handle, StreamMode::Write);
    curl_easy_setopt(handle, CURLOPT_URL, server.Url("/text").c_str());
    ASSERT_EQ(curl_easy_perform(handle), CURLE_OK);
    EXPECT_EQ(std::string(body.Data()), "hello, kivHttp");
    EXPECT_NE(std::string(headers.Data()).find("HTTP/1.1 200"), std::string::npos);

    headers.Detach(handle);
    body.Detach(handle);
    const std::uint32_t headerBytes = headers.Length();
    // With the sinks gone libcurl writes the body to stdout; keep the log clean.
    FILE* devnull = std::fopen("/dev/null", "wb");
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, devnull);
    ASSERT_EQ(curl_easy_perform(handle), CURLE_OK);
    EXPECT_EQ(headers.Length(), headerBytes);
    EXPECT_EQ(body.Length(), 14u);
    std::fclose(devnull);
    curl_easy_cleanup(handle);
}

}  // namespace
