// Who may connect to the listener: address blocks as an administrator
// writes them, v4-mapped clients judged as the v4 address they are.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include "server/smtp/SmtpListener.h"

namespace vt::smtp {
namespace {

using boost::asio::ip::make_address;

TEST(NetworkTest, BlocksContainTheirClientsAndNoOthers) {
  const auto lan = ParseNetwork("192.0.2.0/23");
  ASSERT_TRUE(lan);
  EXPECT_TRUE(lan->Contains(make_address("192.0.3.255")));
  EXPECT_TRUE(lan->Contains(make_address("::ffff:192.0.2.9")));
  EXPECT_FALSE(lan->Contains(make_address("192.0.4.0")));
  EXPECT_FALSE(lan->Contains(make_address("2001:db8::1")));
  const auto v6 = ParseNetwork("2001:db8::/33");
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->Contains(make_address("2001:db8:7fff::1")));
  EXPECT_FALSE(v6->Contains(make_address("2001:db8:8000::1")));
  const auto host = ParseNetwork("198.51.100.7");
  ASSERT_TRUE(host);
  EXPECT_TRUE(host->Contains(make_address("198.51.100.7")));
  EXPECT_FALSE(host->Contains(make_address("198.51.100.6")));
  EXPECT_TRUE(ParseNetwork("0.0.0.0/0")->Contains(make_address("203.0.113.1")));
  for (const char* bad : {"", "192.0.2.0/33", "::/129", "192.0.2.0/", "x/8",
                          "192.0.2.0/8a", "localhost"}) {
    EXPECT_FALSE(ParseNetwork(bad)) << bad;
  }
  EXPECT_TRUE(IsLoopback(make_address("::ffff:127.0.0.2")));
  EXPECT_FALSE(IsLoopback(make_address("192.0.2.1")));
}

}  // namespace
}  // namespace vt::smtp
