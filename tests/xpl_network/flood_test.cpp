// Hostile input at full speed: a sender thread throws valid, invalid and
// oversized datagrams at the library's port; the loop must go on, memory
// must stay flat, and a proper message afterwards must still arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "xplnet_support.h"

// Freed memory waits in AddressSanitizer's quarantine before reuse; keep
// that small so that resident memory shows the library's own growth.
extern "C" const char *__asan_default_options() {
  return "quarantine_size_mb=4";
}

namespace {

using namespace xplnet;

long residentBytes() {
  FILE *statm = fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (statm != nullptr) {
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(statm);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

std::vector<std::string> datagramMix() {
  std::string bigValue(3000, 'v');
  return {
      messageText("xpl-stat", "acme-other.x", "*", "sensor.basic",
                  "device=BARDTA\ncurrent=29.920\n"),
      messageText("xpl-cmnd", "acme-other.x", "acme-elsewhere.y", "control.basic", "device=x\n"),
      messageText("xpl-cmnd", "acme-other.x", "*", "hbeat.request", "command=request\n"),
      messageText("xpl-trig", "acme-other.x", "xpl-group.somewhere", "x.y", "a=1\n"),
      messageText("xpl-stat", "acme-other.x", "*", "x.y", "blob=" + bigValue + "\n"),
      messageText("xpl-stat", "acme-other.x", "*", "x.y", "bin!0A0B0C\nbad!0a\n"),
      "xpl-stat\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n",
      "xpl-cmnd\n{\nhop=0\nsource=a-b.c\ntarget=*\n}\nx.y\n{\n}\n",
      "xpl-cmnd\r\n{\r\n",
      std::string(2047, '{'),
      std::string(60000, 'x'),
      std::string("\x00\x01\x02\xff\xfe", 5),
      "",
      std::string(300, '\n') + "xpl-stat\n{\n" + std::string(1800, 'n') + "=1\n}\n",
  };
}

// Datagrams the library has read so far (its raw listeners see them all).
std::atomic<long> datagramsRead{0};
void countDatagram(String, int, xPL_ObjectPtr) {
  datagramsRead++;
}

// Sends count datagrams from the mix. A window keeps the socket buffer
// from simply dropping most of them, so that the flood really goes
// through the parser; a datagram that was dropped anyway frees its place
// in the window after a short while.
void flood(int port, int count, std::atomic<bool> *done) {
  constexpr long kWindow = 64;
  std::vector<std::string> mix = datagramMix();
  UdpPeer sender;
  long start = datagramsRead.load();
  for (long i = 0; i < count; i++) {
    auto giveUpAt = Clock::now() + milliseconds(100);
    while (i - (datagramsRead.load() - start) >= kWindow && Clock::now() < giveUpAt)
      std::this_thread::yield();
    sender.sendTo(mix[static_cast<size_t>(i) % mix.size()], kAddress, port);
  }
  done->store(true);
}

int targetedSeen;

TEST(Flood, HundredThousandDatagramsLeaveTheLoopWorking) {
  std::string why;
  ASSERT_TRUE(addInterface(&why)) << why;
  xPL_setBroadcastInterface(const_cast<String>(kInterface));
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  xPL_ServicePtr service = xPL_createService(
      const_cast<String>("acme"), const_cast<String>("flood"), const_cast<String>("one"));
  xPL_addServiceListener(
      service,
      [](xPL_ServicePtr, xPL_MessagePtr message, xPL_ObjectPtr) {
        if (!xPL_isBroadcastMessage(message)) targetedSeen++;
      },
      xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
  xPL_setServiceEnabled(service, TRUE);  // so that discovery requests are answered too
  xPL_addRawListener(countDatagram, nullptr);

  auto round = [](int count) {
    std::atomic<bool> done{false};
    std::thread sender(flood, xPL_getPort(), count, &done);
    // The loop returns after each quiet turn; it is done when the sender
    // is and nothing is left to read.
    bool finished = loopUntil([&] { return done.load(); }, milliseconds(60000));
    sender.join();
    xPL_processMessages(0);
    return finished;
  };

  ASSERT_TRUE(round(20000)) << "warm-up";
  long before = residentBytes();
  long readBefore = datagramsRead.load();
  ASSERT_TRUE(round(100000));
  long after = residentBytes();
  EXPECT_LT(after - before, 16L * 1024 * 1024) << "before " << before << " after " << after;
  EXPECT_GT(datagramsRead.load() - readBefore, 50000) << "the flood must reach the parser";
  printf("read %ld of 100000 datagrams; resident %ld kB before, %ld kB after\n",
         datagramsRead.load() - readBefore, before / 1024, after / 1024);

  // Still listening, still routing.
  targetedSeen = 0;
  UdpPeer peer;
  ASSERT_TRUE(peer.sendTo(messageText("xpl-cmnd", "acme-other.x", "acme-flood.one",
                                      "sensor.request", "request=current\ndevice=BARDTA\n"),
                          kAddress, xPL_getPort()));
  EXPECT_TRUE(loopUntil([] { return targetedSeen > 0; }, milliseconds(5000)));

  xPL_releaseService(service);
  xPL_shutdown();
}

}  // namespace
