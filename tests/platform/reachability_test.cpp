#include "platform/reachability.hpp"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

#include <vector>

namespace quillstone::platform {
namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

struct ReachCase {
  std::string label;
  std::vector<InterfaceEntry> interfaces;
  std::uint32_t flags;
};

void PrintTo(const ReachCase& c, std::ostream* os) { *os << c.label; }

class ReachabilityFlags : public ::testing::TestWithParam<ReachCase> {};

TEST_P(ReachabilityFlags, FollowTheUsableInterfaces) {
  EXPECT_EQ(reachabilityFlags(GetParam().interfaces), GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, ReachabilityFlags,
    ::testing::Values(ReachCase{"NoInterfaces", {}, 0},
                      ReachCase{"LoopbackOnly", {{"lo", kUp | IFF_LOOPBACK, AF_INET}}, 0},
                      ReachCase{"EthernetIpv4", {{"eth0", kUp, AF_INET}}, kReachable},
                      ReachCase{"WifiIpv6", {{"wlan0", kUp, AF_INET6}}, kReachable},
                      ReachCase{"DownInterface", {{"eth0", IFF_UP, AF_INET}}, 0},
                      ReachCase{"LinkLayerOnly", {{"eth0", kUp, AF_PACKET}}, 0},
                      ReachCase{"Wwan", {{"wwan0", kUp, AF_INET}}, kReachable | kIsWWAN},
                      ReachCase{"Ppp", {{"ppp0", kUp, AF_INET}}, kReachable | kIsWWAN},
                      ReachCase{"Rmnet", {{"rmnet_data0", kUp, AF_INET6}}, kReachable | kIsWWAN},
                      ReachCase{"Ccmni", {{"ccmni1", kUp, AF_INET}}, kReachable | kIsWWAN},
                      ReachCase{"DownModemIgnored",
                                {{"wwan0", IFF_UP, AF_INET}, {"eth0", kUp, AF_INET}},
                                kReachable},
                      ReachCase{"OtherLinkBeatsModem",
                                {{"wwan0", kUp, AF_INET}, {"wlan0", kUp, AF_INET}},
                                kReachable}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace quillstone::platform
