#include "filter/host.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel {
namespace {

struct HostRow {
  const char* name;
  std::string text;
  std::string host;
};

std::string Req(const std::string& host_line) {
  return "GET / HTTP/1.1\r\n" + host_line + "\r\nAccept: */*\r\n\r\n";
}

class ExtractHostTest : public ::testing::TestWithParam<HostRow> {};

TEST_P(ExtractHostTest, GivesHost) {
  const HostRow& row = GetParam();
  const Host host = ExtractHost(row.text.data(), row.text.size());
  EXPECT_EQ(std::string(host.text, host.length), row.host);
  EXPECT_EQ(host.text[host.length], '\0');
}

const std::string k150(150, 'a');
const std::string k99(99, 'b');

INSTANTIATE_TEST_SUITE_P(
    Rows, ExtractHostTest,
    ::testing::Values(
        HostRow{"WwwDroppedPortKept", Req("Host: www.Example.ORG:8080"), "Example.ORG:8080"},
        HostRow{"NoBlankSkipsFirstLetter", Req("Host:example.org"), "xample.org"},
        HostRow{"Www2Kept", Req("Host: www2.example.org"), "www2.example.org"},
        HostRow{"OnlyWwwGivesEmpty", Req("Host: www."), ""},
        HostRow{"MixedCaseWww", Req("Host: WwW.a.b"), "a.b"},
        HostRow{"LowerCaseHeaderIgnored", Req("host: example.org"), ""},
        HostRow{"UpperCaseHeaderIgnored", Req("HOST: example.org"), ""},
        HostRow{"FoundInsideOtherHeader",
                "GET / HTTP/1.1\r\nX-Forwarded-Host: a.example\r\nHost: b\r\n", "a.example"},
        HostRow{"LongValueCutTo99", Req("Host: " + k150), std::string(99, 'a')},
        HostRow{"Value99Whole", Req("Host: " + k99), k99},
        HostRow{"BareLineFeedRunsOn", "Host: a.org\nAccept: x\nB: y\r\n", "a.org\nAccept: x\nB: y"},
        HostRow{"TextEndsInValue", "GET /\r\nHost: exam", "exam"},
        HostRow{"TextEndsAfterColon", "GET /\r\nHost:", ""},
        HostRow{"TextEndsAfterBlank", "GET /\r\nHost: ", ""},
        HostRow{"TextEndsInsideWww", "Host: www", "www"},
        HostRow{"TrailingBlanksKept", Req("Host: a.org  "), "a.org  "},
        HostRow{"ZeroByteBeforeHostLine", std::string("GET /\0\r\nHost: a.org\r\n", 22), ""},
        HostRow{"ZeroByteEndsValue", std::string("Host: a.o\0rg\r\n", 14), "a.o"},
        HostRow{"NoHostLine", "GET / HTTP/1.0\r\n\r\n", ""}, HostRow{"HeaderAtVeryEnd", "Host", ""},
        HostRow{"EmptyText", "", ""}),
    [](const ::testing::TestParamInfo<HostRow>& info) { return std::string(info.param.name); });

TEST(ExtractHost, NullDataIsEmpty) {
  const Host host = ExtractHost(nullptr, 50);
  EXPECT_EQ(host.length, 0u);
}

TEST(ExtractHost, LengthBoundsTheText) {
  const std::string text = "Host: a.org\r\n";
  const Host host = ExtractHost(text.data(), 9);  // "Host: a.o"
  EXPECT_EQ(std::string(host.text), "a.o");
}

}  // namespace
}  // namespace tarvel
