// An in-memory response keeps the whole body, whatever its Content-Length says.
#include <gtest/gtest.h>

#include <string>

#include "Http/Data/DataResponse.h"
#include "kivtest/kivtest.h"

namespace {

std::string Transfer(const std::string& reply, Http::Data::DataResponse& response) {
    kivtest::RawServer server(kivtest::RawServer::Script(reply));
    CURL* handle = curl_easy_init();
    curl_easy_setopt(handle, CURLOPT_URL, server.Url("/").c_str());
    response.Prepare(handle);
    curl_easy_perform(handle);
    response.Finish(handle);
    curl_easy_cleanup(handle);
    return std::string(response.Body(), response.BodyLength());
}

TEST(DataResponse, KeepsABodyOfTheAnnouncedLength) {
    const std::string body(200000, 'b');
    Http::Data::DataResponse response;
    EXPECT_EQ(Transfer("HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n" + body, response), body);
    EXPECT_EQ(response.Code(), 200);
    EXPECT_EQ(response.Body()[response.BodyLength()], '\0');
}

TEST(DataResponse, KeepsWhatArrivedWhenTheLengthWasALie) {
    Http::Data::DataResponse response;
    EXPECT_EQ(Transfer("HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\nshort", response),
              "short");
    EXPECT_EQ(response.Code(), 200);
    EXPECT_STREQ(response.FindHeader("content-length"), "2147483647");
}

TEST(DataResponse, KeepsABodyWithoutAnyLength) {
    const std::string body(100000, 'c');
    Http::Data::DataResponse response;
    EXPECT_EQ(Transfer("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body, response), body);
}

}  // namespace
