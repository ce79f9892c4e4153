#include "Http/Base/HttpRequest.h"

#include <gtest/gtest.h>

#include <string>

#include "Http/Data/DataResponse.h"
#include "kivtest/kivtest.h"

namespace {

using Http::Base::CompleteRequest;
using Http::Base::HttpRequest;
using Http::Base::HttpResponse;

bool readerAlive = false;
bool responseAlive = false;

struct TrackedReader : CurlStream::BufferReader {
    TrackedReader() { readerAlive = true; }
    ~TrackedReader() override { readerAlive = false; }
};

struct TrackedResponse : Http::Data::DataResponse {
    TrackedResponse() { responseAlive = true; }
    ~TrackedResponse() override { responseAlive = false; }
};

struct CallbackSeen {
    HttpResponse* response = nullptr;
    int userData = 0;
    bool readerAliveDuringCallback = true;
} seen;

void KIV_CALL Callback(kivHttpResponse* response, int userData) {
    seen.response = reinterpret_cast<HttpResponse*>(response);
    seen.userData = userData;
    seen.readerAliveDuringCallback = readerAlive;
}

TEST(CompleteRequest, NullRequestDoesNothing) { CompleteRequest(nullptr); }

TEST(CompleteRequest, DeletesTheRequestThenHandsTheResponseOver) {
    seen = {};
    auto* request = new HttpRequest(1, "http://x/", &Callback, 42);
    request->SetBody(new TrackedReader);
    auto* response = new TrackedResponse;
    request->SetResponse(response);
    CompleteRequest(request);
    EXPECT_FALSE(seen.readerAliveDuringCallback);
    EXPECT_EQ(seen.response, response);
    EXPECT_EQ(seen.userData, 42);
    EXPECT_TRUE(responseAlive);  // the callback owns it now
    delete response;
}

TEST(CompleteRequest, WithoutCallbackTheResponseIsDestroyed) {
    auto* request = new HttpRequest(1, "http://x/", nullptr, 0);
    request->SetResponse(new TrackedResponse);
    CompleteRequest(request);
    EXPECT_FALSE(responseAlive);
}

TEST(HttpRequest, DestroyingItDestroysBodyAndResponse) {
    auto* request = new HttpRequest(1, nullptr, &Callback, 0);
    EXPECT_EQ(request->Url(), "");
    EXPECT_EQ(request->Kind(), RequestKind::Get);
    request->SetBody(new TrackedReader);
    EXPECT_EQ(request->Kind(), RequestKind::Post);
    request->SetResponse(new TrackedResponse);
    delete request;
    EXPECT_FALSE(readerAlive);
    EXPECT_FALSE(responseAlive);
}

// Prepare sets the method and binds the body and the response sinks; the
// echo route shows what went over the wire.
std::string Transfer(HttpRequest& request) {
    auto* response = new Http::Data::DataResponse;
    request.SetResponse(response);
    CURL* handle = curl_easy_init();
    request.Prepare(handle);
    curl_easy_perform(handle);
    request.Finish(handle);
    curl_easy_cleanup(handle);
    std::string body(response->Body(), response->BodyLength());
    delete request.TakeResponse();
    return body;
}

TEST(HttpRequest, PreparesGetAndPostIncludingAnEmptyBody) {
    kivtest::TestServer server;
    HttpRequest get(1, server.Url("/echo").c_str(), nullptr, 0);
    EXPECT_EQ(Transfer(get), "GET\n0\n");

    HttpRequest post(2, server.Url("/echo").c_str(), nullptr, 0);
    auto* body = new CurlStream::BufferReader;
    body->SetData("payload", 7, true);
    post.SetBody(body);
    EXPECT_EQ(Transfer(post), "POST\n7\npayload");

    HttpRequest empty(3, server.Url("/echo").c_str(), nullptr, 0);
    auto* nothing = new CurlStream::BufferReader;
    nothing->SetData(nullptr, 0, true);
    empty.SetBody(nothing);
    EXPECT_EQ(Transfer(empty), "POST\n0\n");
}

TEST(NextRequestId, WrapsThroughTheNegativesAndSkipsZero) {
    EXPECT_EQ(NextRequestId(0), 1);
    EXPECT_EQ(NextRequestId(2147483647), -2147483647 - 1);
    EXPECT_EQ(NextRequestId(-1), 1);
}

}  // namespace
