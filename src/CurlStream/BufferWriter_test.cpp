// How a body block grows: from the announced length, but never trusting the
// announcement far beyond what has arrived.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CurlStream/BufferWriter.h"
#include "kivtest/kivtest.h"

namespace {

using CurlStream::BufferWriter;
using CurlStream::StreamMode;

constexpr std::size_t kMiB = 1024 * 1024;

std::string Pattern(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

std::string Head(const std::string& contentLength) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + contentLength + "\r\n\r\n";
}

// One GET of `url` into `body` (and, when given, its header lines into
// `headers`); returns libcurl's result.
CURLcode Fetch(const std::string& url, BufferWriter& body, BufferWriter* headers = nullptr) {
    CURL* handle = curl_easy_init();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    body.Attach(handle, StreamMode::Write);
    if (headers != nullptr) headers->Attach(handle, StreamMode::Header);
    const CURLcode result = curl_easy_perform(handle);
    body.Detach(handle);
    if (headers != nullptr) headers->Detach(handle);
    curl_easy_cleanup(handle);
    return result;
}

TEST(BufferWriterPlan, NoAnnouncementOrOneAlreadyPassedLeavesGrowthToDoubling) {
    EXPECT_EQ(BufferWriter::PlannedCapacity(100, -1), 0u);
    EXPECT_EQ(BufferWriter::PlannedCapacity(100, 99), 0u);
}

TEST(BufferWriterPlan, AnAnnouncedSmallBodyIsReservedExactly) {
    EXPECT_EQ(BufferWriter::PlannedCapacity(16384, 65536), 65536u);
    EXPECT_EQ(BufferWriter::PlannedCapacity(100, 100), 100u);
    EXPECT_EQ(BufferWriter::PlannedCapacity(0, 0), 0u);
}

TEST(BufferWriterPlan, AHugeAnnouncementIsTrustedOnlyAsFarAsTheArrivalsWarrant) {
    // Nothing much has arrived: a megabyte at most.
    EXPECT_EQ(BufferWriter::PlannedCapacity(5, 2000000000), BufferWriter::kFirstBlockLimit);
    // A megabyte has arrived: sixteen at most.
    EXPECT_EQ(BufferWriter::PlannedCapacity(kMiB + 1, 200 * kMiB),
              (kMiB + 1) * BufferWriter::kTrustFactor);
    // Sixteen have arrived: an announced 200 MiB is now reserved whole.
    EXPECT_EQ(BufferWriter::PlannedCapacity(16 * kMiB + 1, 200 * kMiB), 200 * kMiB);
    // No overflow at the top of the range.
    const std::size_t top = static_cast<std::size_t>(-1) / 2;
    EXPECT_EQ(BufferWriter::PlannedCapacity(top, INT64_MAX), static_cast<std::size_t>(INT64_MAX));
}

TEST(BufferWriter, UnboundWritesDoubleAndKeepEveryByte) {
    BufferWriter writer;
    const std::string bytes = Pattern(3 * kMiB + 17);
    std::size_t offset = 0;
    std::size_t piece = 1;
    std::size_t growths = 0;
    std::size_t lastCapacity = writer.Capacity();
    while (offset < bytes.size()) {
        const std::size_t n = std::min(piece, bytes.size() - offset);
        ASSERT_EQ(writer.Write(bytes.data() + offset, 1, n), n);
        offset += n;
        piece = piece * 3 + 1;
        if (writer.Capacity() != lastCapacity) {
            ++growths;
            lastCapacity = writer.Capacity();
        }
        ASSERT_EQ(writer.Data()[writer.Length()], '\0');
    }
    ASSERT_EQ(writer.Length(), bytes.size());
    EXPECT_EQ(std::memcmp(writer.Data(), bytes.data(), bytes.size()), 0);
    EXPECT_LE(growths, 16u);  // geometric, not one per write
}

TEST(BufferWriter, EmptyWritesChangeNothing) {
    BufferWriter writer;
    EXPECT_EQ(writer.Write("x", 0, 5), 0u);
    EXPECT_EQ(writer.Length(), 0u);
    EXPECT_STREQ(writer.Data(), "");
    EXPECT_TRUE(writer.Reserve(10));
    EXPECT_EQ(writer.Capacity(), 10u);
    EXPECT_STREQ(writer.Data(), "");
}

TEST(BufferWriter, AnHonestContentLengthIsReservedOnce) {
    const std::string body = Pattern(300000);
    kivtest::RawServer server(kivtest::RawServer::Script(Head("300000") + body));
    BufferWriter writer;
    ASSERT_EQ(Fetch(server.Url("/"), writer), CURLE_OK);
    ASSERT_EQ(writer.Length(), body.size());
    EXPECT_EQ(std::memcmp(writer.Data(), body.data(), body.size()), 0);
    EXPECT_EQ(writer.Capacity(), body.size());
}

TEST(BufferWriter, ALyingContentLengthCostsAtMostTheFirstBlock) {
    kivtest::RawServer server(kivtest::RawServer::Script(Head("2000000000") + "hello"));
    BufferWriter writer;
    EXPECT_NE(Fetch(server.Url("/"), writer), CURLE_OK);  // the promised rest never came
    EXPECT_EQ(std::string(writer.Data(), writer.Length()), "hello");
    EXPECT_LE(writer.Capacity(), BufferWriter::kFirstBlockLimit);
}

TEST(BufferWriter, ALyingContentLengthIsTrustedInProportionToTheArrivals) {
    const std::string body = Pattern(3 * kMiB);
    kivtest::RawServer server(kivtest::RawServer::Script(Head("1073741824") + body));
    BufferWriter writer;
    EXPECT_NE(Fetch(server.Url("/"), writer), CURLE_OK);
    ASSERT_EQ(writer.Length(), body.size());
    EXPECT_EQ(std::memcmp(writer.Data(), body.data(), body.size()), 0);
    EXPECT_LE(writer.Capacity(), body.size() * BufferWriter::kTrustFactor);
}

TEST(BufferWriter, AHeaderSinkIgnoresTheAnnouncedLength) {
    kivtest::RawServer server(kivtest::RawServer::Script(Head("1073741824") + "hello"));
    BufferWriter body, headers;
    Fetch(server.Url("/"), body, &headers);
    EXPECT_NE(std::string(headers.Data()).find("Content-Length: 1073741824"), std::string::npos);
    EXPECT_LT(headers.Capacity(), 4096u);
}

TEST(BufferWriter, AfterDetachTheHandleIsNoLongerAsked) {
    CURL* handle = curl_easy_init();
    BufferWriter writer;
    writer.Attach(handle, StreamMode::Write);
    writer.Detach(handle);
    curl_easy_cleanup(handle);
    // Growth must not look at the handle that is gone.
    const std::string bytes = Pattern(5000);
    EXPECT_EQ(writer.Write(bytes.data(), 1, bytes.size()), bytes.size());
    EXPECT_EQ(std::string(writer.Data(), writer.Length()), bytes);
}

}  // namespace
