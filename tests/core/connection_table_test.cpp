// Every pair of the 14 port types through OVIX_Connect: allowed pairs connect
// with 0, every other pair is refused with -4 and the "unsupported" line.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "ovixcapture.h"
#include "support/log_capture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

const int kTypes[] = {1, 2, 3, 4, 5, 6, 10, 11, 20, 21, 22, 23, 24, 30};

// Source type -> the destination types it may feed.
const std::map<int, std::set<int>> kAllowed = {
    {1, {10, 20, 22, 23, 24, 30}}, {3, {10, 20, 22, 23, 24, 30}}, {5, {10, 20, 22, 23, 24, 30}},
    {24, {10, 20, 22, 23, 30}},    {20, {10, 22, 23, 24, 30}},    {23, {10, 22, 24, 30}},
    {22, {10, 24, 30}},            {2, {10, 11, 21, 30}},         {6, {10, 11, 21, 30}},
    {21, {10, 11, 30}},            {4, {}},                       {10, {}},
    {11, {}},                      {30, {}},
};

TEST(ConnectionTable, EveryPairOfPortTypes) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  std::map<int, RecordingPort*> ports;
  for (int t : kTypes) ports[t] = MakeRecordingPort(t);

  int allowedPairs = 0;
  for (int src : kTypes) {
    for (int dst : kTypes) {
      const bool allowed = kAllowed.at(src).count(dst) != 0;
      allowedPairs += allowed;
      SCOPED_TRACE("src=" + std::to_string(src) + " dst=" + std::to_string(dst));
      const std::string refused =
          "OVIX_Connect unsupported srcType=" + std::to_string(src) + " dstType=" + std::to_string(dst);
      const int before = CountLogLines(refused);
      const int result = OVIX_Connect(H(ports[src]), H(ports[dst]));
      if (allowed) {
        EXPECT_EQ(result, OVIX_OK);
        EXPECT_EQ(CountLogLines(refused), before);
        const auto list = ports[src]->DownstreamSnapshot();
        EXPECT_EQ(list.back(), ports[dst]);
      } else {
        EXPECT_EQ(result, OVIX_ERR_UNSUPPORTED);
        EXPECT_EQ(CountLogLines(refused), before + 1);
      }
    }
  }
  EXPECT_EQ(allowedPairs, 46);
  // Refused pairs leave the graph unchanged.
  for (int src : kTypes) EXPECT_EQ(ports[src]->DownstreamSnapshot().size(), kAllowed.at(src).size());
  for (auto& [t, p] : ports) EXPECT_EQ(OVIX_DestroyPort(H(p)), OVIX_OK);
}

TEST(ConnectionTable, AcceptedConnectIsLoggedWithBothTypes) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  RecordingPort* src = MakeRecordingPort(OVIX_PORT_AUDIO_INPUT);
  RecordingPort* dst = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER);
  ASSERT_EQ(OVIX_Connect(H(src), H(dst)), OVIX_OK);
  char expected[160];
  std::snprintf(expected, sizeof expected, "OVIX_Connect src=%p type=2 dst=%p type=10 result=0", static_cast<void*>(src),
                static_cast<void*>(dst));
  EXPECT_EQ(CountLogLines(expected), 1) << ReadLogFile();
  OVIX_DestroyPort(H(src));
  OVIX_DestroyPort(H(dst));
}

}  // namespace
}  // namespace ovix::test
