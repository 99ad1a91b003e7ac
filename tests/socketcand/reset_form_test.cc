// The gateway's reset form as a function from the bytes received to the answer.
#include "gateway_sim/reset_form.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using gateway_sim::answer_form;

// base64("vexiladm:rqx8mulfo") and base64("vexiladm:wrong")
constexpr const char* kGoodAuth = "Basic dmV4aWxhZG06cnF4OG11bGZv";
constexpr const char* kBadAuth = "Basic dmV4aWxhZG06d3Jvbmc=";

std::string request(const std::string& method, const std::string& path, const std::string& auth,
                    const std::string& body = "FWUpdReset=1") {
  return method + " " + path + " HTTP/1.1\r\nHost: gw\r\n" +
         (auth.empty() ? "" : "Authorization: " + auth + "\r\n") +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string status_line(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

}  // namespace

TEST(ResetForm, OnlyTheAdministratorsPostOfTheResetFieldResets) {
  const auto ok = answer_form(request("POST", "/Forms/Firmware", kGoodAuth));
  ASSERT_TRUE(ok.complete);
  EXPECT_TRUE(ok.reset);
  EXPECT_TRUE(ok.to_form);
  EXPECT_EQ(ok.response,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\nConnection: "
            "close\r\n\r\nrebooting\n");

  const auto none = answer_form(request("POST", "/Forms/Firmware", ""));
  EXPECT_EQ(status_line(none.response), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(none.response.find("\r\nWWW-Authenticate: Basic realm=\"gateway\"\r\n"),
            std::string::npos);
  EXPECT_EQ(none.summary, "POST /Forms/Firmware: 401 (no credentials)");
  const auto wrong = answer_form(request("POST", "/Forms/Firmware", kBadAuth));
  EXPECT_EQ(wrong.summary, "POST /Forms/Firmware: 401 (wrong credentials)");
  EXPECT_EQ(status_line(answer_form(request("GET", "/Forms/Firmware", kGoodAuth)).response),
            "HTTP/1.1 405 Method Not Allowed");
  EXPECT_EQ(
      status_line(
          answer_form(request("POST", "/Forms/Firmware", kGoodAuth, "FWUpdReset=0")).response),
      "HTTP/1.1 400 Bad Request");
  for (const auto& a : {none, wrong}) {
    EXPECT_FALSE(a.reset);
    EXPECT_TRUE(a.to_form);
  }

  const auto elsewhere = answer_form(request("POST", "/Forms/Other", kGoodAuth));
  EXPECT_EQ(status_line(elsewhere.response), "HTTP/1.1 404 Not Found");
  EXPECT_FALSE(elsewhere.reset || elsewhere.to_form) << "not a request to the form";
}

TEST(ResetForm, WaitsForTheWholeRequestAndRefusesHugeOnes) {
  const std::string full = request("POST", "/Forms/Firmware", kGoodAuth);
  EXPECT_FALSE(answer_form(full.substr(0, full.find("\r\n\r\n"))).complete) << "head not ended";
  EXPECT_FALSE(answer_form(full.substr(0, full.size() - 1)).complete) << "body short of its length";
  EXPECT_TRUE(answer_form(full).reset);

  // Header names in any case, values trimmed.
  EXPECT_TRUE(answer_form("POST /Forms/Firmware HTTP/1.1\r\nauthorization:   " +
                          std::string(kGoodAuth) + "  \r\nCONTENT-LENGTH: 12\r\n\r\nFWUpdReset=1")
                  .reset);

  const auto big = answer_form("POST /Forms/Firmware HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n");
  EXPECT_EQ(status_line(big.response), "HTTP/1.1 413 Payload Too Large");
  const auto endless = answer_form("GET /" + std::string(gateway_sim::kMaxHttpRequest, 'a'));
  EXPECT_EQ(status_line(endless.response), "HTTP/1.1 400 Bad Request");
  EXPECT_FALSE(big.reset || endless.reset);
}

TEST(ResetForm, Base64AsBasicCredentialsUseIt) {
  EXPECT_EQ(gateway_sim::base64(""), "");
  EXPECT_EQ(gateway_sim::base64("f"), "Zg==");
  EXPECT_EQ(gateway_sim::base64("fo"), "Zm8=");
  EXPECT_EQ(gateway_sim::base64("foo"), "Zm9v");
  EXPECT_EQ(gateway_sim::base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ("Basic " + gateway_sim::base64("vexiladm:rqx8mulfo"), kGoodAuth);
}
