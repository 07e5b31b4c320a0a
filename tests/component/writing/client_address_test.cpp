// The address "servergetip" stores: an X-Forwarded-For entry only when it is
// an IP address.
#include "writing/client_address.h"

#include <gtest/gtest.h>

namespace kvdn {
namespace {

TEST(ClientAddress, IpAddressForms) {
  const std::pair<const char*, bool> cases[] = {
      {"203.0.113.9", true},
      {"0.0.0.0", true},
      {"255.255.255.255", true},
      {"256.1.1.1", false},
      {"1.2.3", false},
      {"1.2.3.4.5", false},
      {"01.2.3.4", false},  // leading zeros read as octal by some
      {"1.2.3.4 ", false},
      {"1..3.4", false},
      {"1.2.3.", false},
      {"1234.1.1.1", false},
      {"::", true},
      {"::1", true},
      {"1::", true},
      {"2001:db8::7", true},
      {"2001:DB8:0:0:8:800:200C:417A", true},
      {"1:2:3:4:5:6:7::", true},
      {"::ffff:192.0.2.128", true},
      {"64:ff9b::192.0.2.33", true},
      {"1:2:3:4:5:6:1.2.3.4", true},
      {"1:2:3:4:5:6:7:8:9", false},
      {"1:2:3:4:5:6:7", false},
      {"1::2::3", false},
      {":::", false},
      {":1::2", false},
      {"1:", false},
      {"12345::1", false},
      {"g::1", false},
      {"fe80::1%eth0", false},
      {"[::1]", false},
      {"::1.2.3", false},
      {"1:2:3:4:5:6:7:1.2.3.4", false},
      {"", false},
      {"localhost", false},
      {"<script>", false},
  };
  for (const auto& [text, ok] : cases) EXPECT_EQ(isIpAddress(text), ok) << '"' << text << '"';
}

TEST(ClientAddress, FirstForwardedEntryOrThePeer) {
  struct Case {
    const char* forwarded;
    const char* remote;
    const char* out;
  } cases[] = {
      {"203.0.113.9", "10.0.0.1", "203.0.113.9"},
      {"203.0.113.9, 198.51.100.1", "10.0.0.1", "203.0.113.9"},
      {"\t2001:db8::1 ,x", "10.0.0.1", "2001:db8::1"},
      {"", "10.0.0.1", "10.0.0.1"},
      {" , 203.0.113.9", "10.0.0.1", "10.0.0.1"},
      {"x' onmouseover=alert(1) '", "10.0.0.1", "10.0.0.1"},
      {"203.0.113.9;drop", "::1", "::1"},
  };
  for (const auto& c : cases) EXPECT_EQ(clientAddressOf(c.forwarded, c.remote), c.out) << c.forwarded;
}

}  // namespace
}  // namespace kvdn
