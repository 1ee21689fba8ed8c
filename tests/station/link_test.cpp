// link_test.cpp - the station link against a scripted station: the bytes of
// every command, the handling of every kind of reply, retries and trace.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <regex>

#include "ccitt.h"
#include "davis.h"
#include "peer.h"

using namespace stationtest;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t ACK = 0x06, NAK = 0x15, CANARY = 0xEE;

Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes series(uint8_t first, size_t n) {
  Bytes b;
  for (size_t i = 0; i < n; i++) b.push_back(static_cast<uint8_t>(first + i));
  return b;
}

const Bytes IMAGE = series(0x10, 15);
const Bytes GOOD_IMAGE_REPLY = cat({ACK, 0x01}, withCrc(IMAGE));

Bytes badCrc(Bytes withGoodCrc) {
  std::swap(withGoodCrc[withGoodCrc.size() - 1], withGoodCrc[withGoodCrc.size() - 2]);
  return withGoodCrc;
}

// A link call bound to its arguments; it gets the data buffer.
using Call = std::function<int(davis_device *, uint8_t *)>;

Call readStation(uint16_t a, int n) {
  return [=](davis_device *d, uint8_t *b) { return davis_readstation(d, a, b, n); };
}
Call writeStation(uint16_t a, Bytes v, int n) {
  v.resize(8);
  return [=](davis_device *d, uint8_t *) { return davis_writestation(d, a, v.data(), n); };
}
Call readLink(uint16_t a, int n) {
  return [=](davis_device *d, uint8_t *b) { return davis_readlink(d, a, b, n); };
}
Call writeLink(uint16_t a, Bytes v, int n) {
  v.resize(8);
  return [=](davis_device *d, uint8_t *) { return davis_writelink(d, a, v.data(), n); };
}
Call readArchive(uint16_t a, int n) {
  return [=](davis_device *d, uint8_t *b) { return davis_readarchive(d, a, b, n); };
}
Call writeArchive(uint16_t a, uint8_t v) {
  return [=](davis_device *d, uint8_t *) { return davis_writearchive(d, a, v); };
}
Call images(int npaks, int datalen) {
  return [=](davis_device *d, uint8_t *b) { return davis_dumpsensor(d, npaks, b, datalen); };
}
Call dumpStation(int datalen) {
  return [=](davis_device *d, uint8_t *b) { return davis_dumpstation(d, b, datalen); };
}
Call plain(int (*f)(davis_device *)) {
  return [=](davis_device *d, uint8_t *) { return f(d); };
}
Call period(int (*f)(davis_device *, int), int v) {
  return [=](davis_device *d, uint8_t *) { return f(d, v); };
}

struct Exchange {
  int result;
  Bytes sent;
  std::vector<Bytes> commands;
  std::string trace;
  Bytes data;    // the data buffer after the call, canaries included
  uint8_t line;  // the device's stale field after the call
};

// One call of the link against a station that plays `steps`.
Exchange play(int8_t model, const std::vector<Step> &steps, const Call &call,
              size_t dataSize = 160) {
  Line line = Line::socketPair();
  ScriptedPeer peer(line.peer, steps);
  davis_device d{model, line.link, 0, 0};
  Exchange r;
  r.data.assign(dataSize, CANARY);
  {
    CaptureStdout cap;
    r.result = call(&d, r.data.data());
    r.trace = cap.text();
  }
  r.line = d.stale;
  r.sent = peer.finish();
  r.commands = peer.commands();
  return r;
}

int openFdCount() {
  int n = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) n++;
  if (dir != nullptr) closedir(dir);
  return n;
}

}  // namespace

TEST(StationCrc, CheckValuesAreByteSwapped) {
  struct Row {
    const char *what;
    std::string data;
    int want;
  } rows[] = {
      {"standard check string, CRC 0x31C3", "123456789", 0xC331},
      {"no bytes", "", 0},
      {"byte 1 is table entry 1, 0x1021", "\x01", 0x2110},
      {"a zero byte leaves zero", std::string(1, '\0'), 0},
  };
  for (const Row &r : rows) {
    Bytes b = bytes(r.data);
    EXPECT_EQ(davis_crc(b.data(), static_cast<int>(b.size())), r.want) << r.what;
  }
}

TEST(StationCrc, TableIsTheMsbFirstPolynomialAndReplyChecksToZero) {
  for (int i = 0; i < 256; i++) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int k = 0; k < 8; k++)
      c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
    ASSERT_EQ(crc_table[i], c) << "entry " << i;
  }
  // The station sends the CRC high byte first; data plus CRC checks to 0.
  Bytes b = withCrc(bytes("123456789"));
  EXPECT_EQ(b[9], 0x31);
  EXPECT_EQ(b[10], 0xC3);
  EXPECT_EQ(davis_crc(b.data(), 11), 0);
}

TEST(StationRead, ReadsHalfTheNibbleCountAndNoMore) {
  struct Row {
    const char *what;
    int len;
    int want;
    size_t used;
  } rows[] = {
      {"a length of 2 is one byte", 2, 2, 1},
      {"an odd length rounds down", 5, 4, 2},
      {"length 0 reads nothing", 0, 0, 0},
      {"a negative length reads nothing", -4, 0, 0},
  };
  for (const Row &r : rows) {
    Line line = Line::socketPair();
    const Bytes waiting = series(0xA0, 8);
    ASSERT_EQ(write(line.peer, waiting.data(), waiting.size()), 8);
    davis_device d{0, line.link, 0, 0};
    Bytes buf(8, CANARY);
    CaptureStdout cap;
    EXPECT_EQ(davis_read(&d, buf.data(), r.len), r.want) << r.what;
    const std::string trace = cap.text();
    for (size_t i = 0; i < 8; i++) EXPECT_EQ(buf[i], i < r.used ? 0xA0 + i : CANARY) << r.what;
    EXPECT_NE(trace.find("read start " + std::to_string(r.len) + "\n"), std::string::npos);
    EXPECT_NE(trace.find("read done " + std::to_string(r.len) + " got " + std::to_string(r.want)),
              std::string::npos)
        << r.what;
    if (r.len == 0) {
      EXPECT_EQ(trace, "read start 0\nread done 0 got 0\n");
    }
  }
}

TEST(StationRead, ReplyInPiecesIsReadWhole) {
  Line line = Line::socketPair();
  davis_device d{0, line.link, 0, 0};
  CaptureStdout cap;
  // Each piece goes out once the link has taken the one before it.
  std::thread feeder([&] {
    const uint8_t piece[] = {1, 2, 3, 4};
    if (write(line.peer, piece, 1) != 1) return;
    cap.waitFor("read loop 4 got 1", 5s);
    if (write(line.peer, piece + 1, 1) != 1) return;
    cap.waitFor("read loop 3 got 1", 5s);
    if (write(line.peer, piece + 2, 2) != 2) return;
  });
  uint8_t buf[4] = {0};
  const int r = davis_read(&d, buf, 8);
  feeder.join();
  const std::string trace = cap.text();
  EXPECT_EQ(r, 8);
  EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
  EXPECT_NE(trace.find("read loop 2 got 2"), std::string::npos) << trace;
  EXPECT_NE(trace.find("read done 8 got 8"), std::string::npos) << trace;
}

TEST(StationRead, EndsOnSilenceAndOnHangup) {
  // The one test that pays the 2-second silence.
  Line silent = Line::socketPair();
  davis_device d{0, silent.link, 0, 0};
  uint8_t buf[2];
  {
    CaptureStdout cap;
    EXPECT_EQ(davis_read(&d, buf, 4), 0);
    EXPECT_NE(cap.text().find("select err=0\n"), std::string::npos);
  }
  // A peer that has hung up is readable with nothing to read: a failure,
  // not another wait.
  Line gone = Line::socketPair();
  ASSERT_EQ(write(gone.peer, "\x06", 1), 1);
  close(gone.peer);
  gone.peer = -1;
  d.fd = gone.link;
  CaptureStdout cap;
  EXPECT_EQ(davis_read(&d, buf, 4), -1);
}

TEST(StationRead, FlushOnASocketDropsWhatHasArrived) {
  // What a failed reply left behind is gone; only what comes after is read.
  Line line = Line::socketPair();
  davis_device d{0, line.link, 0, 0};
  const Bytes stale = series(0x40, 100);
  ASSERT_EQ(write(line.peer, stale.data(), stale.size()), 100);
  uint8_t c = 0;
  {
    CaptureStdout cap;
    davis_flush(&d);
    ASSERT_EQ(write(line.peer, "\x06", 1), 1);
    EXPECT_EQ(davis_read(&d, &c, 2), 2);
    EXPECT_EQ(cap.text().rfind("flush err=-1 errno=" + std::to_string(ENOTTY) + "\n", 0), 0u);
  }
  EXPECT_EQ(c, ACK);
}

TEST(StationRead, TheRestOfAnExchangeThatEndedEarlyIsNotTheNextAnswer) {
  // After silence the line has been quiet long enough: the next command
  // drops what came meanwhile without waiting for more.
  // A whole reply with a bad CRC owes nothing: a byte the line added to it
  // is dropped at once, and the line is clean. A retry that got its whole
  // reply owes no wait either.
  struct Row {
    const char *what;
    Bytes reply, late;
    uint8_t line;
    Call call = readLink(0x12A, 4);
    size_t command = 7;  // its bytes
    Bytes retry = {};    // the reply to a second attempt, which then succeeds
  } rows[] = {
      {"a wrong acknowledgement, the real answer after it",
       {NAK},
       {ACK, 0xE1, 0x74},
       DAVIS_LINE_BUSY},
      {"an acknowledgement whose data came after the silence limit",
       {ACK},
       {0xE1, 0x74},
       DAVIS_LINE_QUIET},
      {"an archive read whose CRC failed, a byte the line added behind it",
       cat(cat({ACK}, badCrc(withCrc({1, 2}))), {0x55}),
       {},
       DAVIS_LINE_CLEAN,
       readArchive(0x1234, 2),
       8},
      {"a wrong acknowledgement, then a good retry",
       {NAK},
       {},
       DAVIS_LINE_QUIET,
       readStation(0x4D, 1),
       6,
       {ACK, 0x02}},
  };
  // What a clean link read of 4 nibbles prints: nothing for the dropped bytes.
  const std::string clean =
      "read start 2\nread loop 1 got 1\nread done 2 got 2\n"
      "read start 4\nread loop 2 got 2\nread done 4 got 4\n";
  for (const Row &r : rows) {
    Line line = Line::socketPair();
    davis_device d{0, line.link, 0, 0};
    uint8_t data[2] = {0, 0};
    {
      std::vector<Step> steps = {{r.command, r.reply}};
      if (!r.retry.empty()) steps.push_back({r.command, r.retry});
      ScriptedPeer peer(line.peer, steps);
      CaptureStdout cap;
      EXPECT_EQ(r.call(&d, data) == 0, !r.retry.empty()) << r.what;
    }
    EXPECT_EQ(d.stale, r.line) << r.what;
    ASSERT_EQ(write(line.peer, r.late.data(), r.late.size()), static_cast<ssize_t>(r.late.size()));
    ScriptedPeer peer(line.peer, {{7, {ACK, 0x01, 0x02}}});
    CaptureStdout cap;
    EXPECT_EQ(davis_readlink(&d, 0x11C, data, 4), 0) << r.what;
    EXPECT_EQ(Bytes(data, data + 2), (Bytes{0x01, 0x02})) << r.what;
    EXPECT_EQ(cap.text(), clean) << r.what;
  }
}

TEST(StationTrace, ExactLinesOfAStationReadAndASensorImage) {
  // The lines of a read of len nibbles that arrive in one piece.
  auto read = [](int len) {
    const std::string l = std::to_string(len), half = std::to_string(len / 2);
    return "read start " + l + "\nread loop " + half + " got " + half + "\nread done " + l +
           " got " + l + "\n";
  };
  const std::string flush = "flush err=-1 errno=" + std::to_string(ENOTTY) + "\n";
  const Bytes crc = withCrc(IMAGE);
  char crcLine[64];
  snprintf(crcLine, sizeof crcLine, "crc=%x %x err=4 retries=4\n", crc[15] | (crc[16] << 8),
           crc[15] | (crc[16] << 8));
  struct Row {
    const char *what;
    Call call;
    Bytes command;
    Bytes reply;
    std::string trace;
  } rows[] = {
      {"station read, 6 nibbles at 0x1BE",
       readStation(0x1BE, 6),
       {'W', 'R', 'D', 0x64, 0xBE, 0x0D},
       {ACK, 0x14, 0x05, 0x00},
       flush + "rs write 6 ret 6 retries=4\n" + read(2) + "rs1 c=6 err=2\n" + read(6) +
           "rs2 datalen=6 err=6\nstation read 0xbe 6 S.U secs\n"},
      {"one sensor image",
       images(1, 30),
       {'L', 'O', 'O', 'P', 0xFF, 0xFF, 0x0D},
       GOOD_IMAGE_REPLY,
       flush + "ds write 7 ret 7 retries=4\n" + read(2) + "ds1 c=6 err=2 retries=4\n" + read(2) +
           "ds2 c=1 err=2 retries=4\n" + read(30) + "datalen=30 err=30 retries=4\n" + read(4) +
           crcLine + "dumpsensor S.U secs\n"},
  };
  const std::regex timing("[0-9]+\\.[0-9]+ secs\n");
  for (const Row &r : rows) {
    Exchange run = play(0, {{r.command.size(), r.reply}}, r.call);
    EXPECT_EQ(run.result, 0) << r.what;
    EXPECT_EQ(run.sent, r.command) << r.what;
    EXPECT_EQ(std::regex_replace(run.trace, timing, "S.U secs\n"), r.trace) << r.what;
  }
}

TEST(StationCommands, SendExactBytesAndHandleReplies) {
  const Bytes dump = series(0x00, 128);
  struct Row {
    const char *what;
    int8_t model;
    Call call;
    Bytes command;
    Bytes reply;
    int want;
    Bytes data;
  } rows[] = {
      // clang-format off
      {"model probe: 1 nibble at 0x4D", 0, readStation(0x4D, 1),
       {'W', 'R', 'D', 0x12, 0x4D, 0x0D}, {ACK, 0x03}, 0, {0x03}},
      {"time: 6 nibbles at 0x1BE, bank 4", 0, readStation(0x1BE, 6),
       {'W', 'R', 'D', 0x64, 0xBE, 0x0D}, {ACK, 0x14, 0x05, 0x00}, 0, {0x14, 0x05, 0x00}},
      {"8 nibbles is allowed", 0, readStation(0x100, 8),
       {'W', 'R', 'D', 0x84, 0x00, 0x0D}, {ACK, 1, 2, 3, 4}, 0, {1, 2, 3, 4}},
      {"3 nibbles read as 2 bytes", 0, readStation(0x1C8, 3),
       {'W', 'R', 'D', 0x34, 0xC8, 0x0D}, {ACK, 0x31, 0x0C}, 0, {0x31, 0x0C}},
      {"station write 4 nibbles at 0x12C", 0, writeStation(0x12C, {0xD0, 0xD1}, 4),
       {'W', 'W', 'R', 0x43, 0x2C, 0xD0, 0xD1, 0x0D}, {ACK}, 0, {}},
      {"station write bank 1 below 0x100", 0, writeStation(0x8A, {0x7F}, 2),
       {'W', 'W', 'R', 0x21, 0x8A, 0x7F, 0x0D}, {ACK}, 0, {}},
      {"station write of 3 nibbles sends 2 bytes", 0, writeStation(0x1C8, {0x31, 0x0C}, 3),
       {'W', 'W', 'R', 0x33, 0xC8, 0x31, 0x0C, 0x0D}, {ACK}, 0, {}},
      {"station write not acknowledged", 0, writeStation(0x8A, {1}, 2),
       {'W', 'W', 'R', 0x21, 0x8A, 0x01, 0x0D}, {NAK}, -1, {}},
      {"link read sends count less one", 0, readLink(0x12A, 4),
       {'R', 'R', 'D', 0x01, 0x2A, 0x03, 0x0D}, {ACK, 0xE1, 0x74}, 0, {0xE1, 0x74}},
      {"link read not acknowledged", 0, readLink(0x12A, 4),
       {'R', 'R', 'D', 0x01, 0x2A, 0x03, 0x0D}, {NAK}, -1, {}},
      {"link write: bank and count share a byte", 0, writeLink(0x13A, {0xC4}, 2),
       {'R', 'W', 'R', 0x11, 0x3A, 0xC4, 0x0D}, {ACK}, 0, {}},
      {"archive read of 1 byte at 0", 0, readArchive(0, 1),
       {'S', 'R', 'D', 0, 0, 0, 0, 0x0D}, cat({ACK}, withCrc({0xAA})), 0, {0xAA}},
      {"archive read with CRC bytes swapped", 0, readArchive(0x1234, 2),
       {'S', 'R', 'D', 0x34, 0x12, 0x01, 0x00, 0x0D}, cat({ACK}, badCrc(withCrc({1, 2}))), -1, {}},
      {"archive write of 0xAB at 0x1234", 0, writeArchive(0x1234, 0xAB),
       {'S', 'W', 'R', 0x34, 0x12, 0xAB, 0x00, 0x0D}, {ACK}, 0, {}},
      {"one sensor image", 0, images(1, 30),
       {'L', 'O', 'O', 'P', 0xFF, 0xFF, 0x0D}, GOOD_IMAGE_REPLY, 0, IMAGE},
      {"two images: one start byte, one CRC", 3, images(2, 60),
       {'L', 'O', 'O', 'P', 0xFE, 0xFF, 0x0D}, cat({ACK, 0x01}, withCrc(cat(IMAGE, IMAGE))), 0,
       cat(IMAGE, IMAGE)},
      {"archive period 30 minutes", 0, period(davis_setarcint, 30),
       {'S', 'A', 'P', 0x1E, 0x0D}, {ACK}, 0, {}},
      {"sample period 60 s is 256 - 60", 0, period(davis_setsenint, 60),
       {'S', 'S', 'P', 0xC4, 0x0D}, {ACK}, 0, {}},
      {"sample period 1 s", 0, period(davis_setsenint, 1),
       {'S', 'S', 'P', 0xFF, 0x0D}, {ACK}, 0, {}},
      {"sample period 255 s", 0, period(davis_setsenint, 255),
       {'S', 'S', 'P', 0x01, 0x0D}, {ACK}, 0, {}},
      {"stop: 0x00 after the CR", 0, plain(davis_stoplink),
       {'S', 'T', 'O', 'P', 0x0D, 0}, {ACK}, 0, {}},
      {"stop refused", 0, plain(davis_stoplink), {'S', 'T', 'O', 'P', 0x0D, 0}, {NAK}, -1, {}},
      {"start", 0, plain(davis_startlink), {'S', 'T', 'A', 'R', 'T', 0x0D, 0}, {ACK}, 0, {}},
      {"archive now", 0, plain(davis_archive), {'A', 'R', 'C', 0x0D, 0}, {ACK}, 0, {}},
      {"image now", 0, plain(davis_image), {'I', 'M', 'G', 0x0D, 0}, {ACK}, 0, {}},
      {"archive timer off", 0, plain(davis_disarctimer), {'D', 'B', 'T', 0x0D, 0}, {ACK}, 0, {}},
      {"archive timer on, refused", 0, plain(davis_enaarctimer),
       {'E', 'B', 'T', 0x0D, 0}, {0x41}, -1, {}},
      {"archive dump returns the bytes written", 0, plain(davis_dumparchive),
       {'D', 'M', 'P', 0x0D, 0}, {}, 5, {}},
      {"station dump: 128 bytes, no ack", 4, dumpStation(256),
       {'M', 'D', 'M', 'P', 0x0D, 0}, withCrc(dump), 0, dump},
      {"station dump with a bad CRC", 6, dumpStation(256),
       {'M', 'D', 'M', 'P', 0x0D, 0}, badCrc(withCrc(dump)), -1, {}},
      // clang-format on
  };
  for (const Row &r : rows) {
    Exchange run = play(r.model, {{r.command.size(), r.reply}}, r.call);
    EXPECT_EQ(run.result, r.want) << r.what;
    EXPECT_EQ(run.sent, r.command) << r.what;
    if (!r.data.empty()) {
      EXPECT_EQ(Bytes(run.data.begin(), run.data.begin() + static_cast<long>(r.data.size())),
                r.data)
          << r.what;
      EXPECT_EQ(run.data[r.data.size()], CANARY) << r.what << ": wrote past the data";
    }
  }
}

TEST(StationCommands, RefusedArgumentsSendNothing) {
  struct Row {
    const char *what;
    int8_t model;
    Call call;
  } rows[] = {
      {"station read of 9 nibbles", 0, readStation(0x100, 9)},
      {"station read of -1 nibbles", 0, readStation(0x100, -1)},
      {"station write of 9 nibbles", 0, writeStation(0x100, {}, 9)},
      {"link write of 9 nibbles", 0, writeLink(0x100, {}, 9)},
      {"link write of 0 nibbles", 0, writeLink(0x100, {}, 0)},
      {"link read of 0 nibbles", 0, readLink(0x100, 0)},
      {"archive read of 0 bytes", 0, readArchive(0, 0)},
      {"image with datalen 29", 0, images(1, 29)},
      {"image of 0 images", 0, images(0, 0)},
      {"image from model 4", 4, images(1, 30)},
      {"image from an unknown model", -1, images(1, 30)},
      {"station dump from model 3", 3, dumpStation(256)},
      {"station dump of 255 nibbles", 4, dumpStation(255)},
  };
  for (const Row &r : rows) {
    Exchange run = play(r.model, {}, r.call);
    EXPECT_EQ(run.result, -1) << r.what;
    EXPECT_TRUE(run.sent.empty()) << r.what;
  }
}

TEST(StationRetries, StationReadMakesFiveAttempts) {
  const Bytes probe = {'W', 'R', 'D', 0x12, 0x4D, 0x0D};
  const Call read = readStation(0x4D, 1);

  Exchange failing = play(0, std::vector<Step>(5, {6, {NAK}}), read);
  EXPECT_EQ(failing.result, -1);
  EXPECT_EQ(failing.commands, std::vector<Bytes>(5, probe));
  std::vector<std::string> writes = linesWith(failing.trace, "rs write");
  ASSERT_EQ(writes.size(), 5u);
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(writes[i], "rs write 6 ret 6 retries=" + std::to_string(4 - i));
  EXPECT_EQ(linesWith(failing.trace, "rs1 c=15 err=2").size(), 5u);
  // Never acknowledged, so the count was never rounded up.
  std::vector<std::string> timing = linesWith(failing.trace, "station read");
  ASSERT_EQ(timing.size(), 1u);
  EXPECT_EQ(timing[0].rfind("station read 0x4d 1 ", 0), 0u) << timing[0];

  Exchange second = play(0, {{6, {NAK}}, {6, {ACK, 0x02}}}, read);
  EXPECT_EQ(second.result, 0);
  EXPECT_EQ(second.data[0], 0x02);
  EXPECT_EQ(linesWith(second.trace, "rs write").size(), 2u);
  EXPECT_EQ(linesWith(second.trace, "rs2 datalen=2 err=2").size(), 1u);

  // An adaptor that passes the answer at a byte every 1.5 s: each byte
  // beats the silence limit, the whole answer misses its deadline (2 s and
  // four times the 8 bytes' wire time: the data byte comes after it), and
  // another attempt would too.
  Exchange trickled = play(0, {{6, {ACK, 0x02}, 1500ms}, {6, {ACK, 0x02}}}, read);
  EXPECT_EQ(trickled.result, -1);
  EXPECT_EQ(trickled.commands.size(), 1u);
  EXPECT_EQ(linesWith(trickled.trace, "read deadline 2 got 0").size(), 1u) << trickled.trace;
  EXPECT_EQ(linesWith(trickled.trace, "select err").size(), 0u) << trickled.trace;
  EXPECT_EQ(trickled.line, DAVIS_LINE_BUSY);

  // An acknowledgement later than the deadline's margin, half the data, then
  // a lost byte: silence, not a slow peer, so the next attempt is made.
  Exchange lateAck =
      play(0, {{6, {ACK}, 1000ms}, {0, {0x02}}, {6, {ACK, 0x02, 0x03}}}, readStation(0x4D, 4));
  EXPECT_EQ(lateAck.result, 0);
  EXPECT_EQ(Bytes(lateAck.data.begin(), lateAck.data.begin() + 2), (Bytes{0x02, 0x03}));
  EXPECT_EQ(linesWith(lateAck.trace, "select err=0").size(), 1u) << lateAck.trace;
  EXPECT_EQ(linesWith(lateAck.trace, "read deadline").size(), 0u) << lateAck.trace;
  EXPECT_EQ(linesWith(lateAck.trace, "rs write").size(), 2u) << lateAck.trace;
}

TEST(StationRetries, SensorImageRetriesOnBadStartAndGivesUpOnBadCrc) {
  const Call image = images(1, 30);

  Exchange restarted = play(0, {{7, {ACK, 0x02}}, {7, GOOD_IMAGE_REPLY}}, image);
  EXPECT_EQ(restarted.result, 0);
  EXPECT_EQ(Bytes(restarted.data.begin(), restarted.data.begin() + 15), IMAGE);
  EXPECT_EQ(linesWith(restarted.trace, "ds2 c=2 err=2 retries=4").size(), 1u);
  EXPECT_EQ(linesWith(restarted.trace, "flush err=").size(), 2u);

  Exchange corrupt = play(0, std::vector<Step>(5, {7, badCrc(GOOD_IMAGE_REPLY)}), image);
  EXPECT_EQ(corrupt.result, -1);
  EXPECT_EQ(corrupt.commands.size(), 5u);
  std::vector<std::string> crcLines = linesWith(corrupt.trace, "crc=");
  ASSERT_EQ(crcLines.size(), 5u);
  EXPECT_EQ(crcLines[4].rfind("crc=", 0), 0u);
  EXPECT_NE(crcLines[4].find(" err=4 retries=0"), std::string::npos) << crcLines[4];
  EXPECT_EQ(linesWith(corrupt.trace, "dumpsensor ").size(), 1u);
}

TEST(StationRetries, GarbageAndHangupsNeverOverrunOrHang) {
  // Replies longer than asked for: the link takes what it asked for.
  Exchange flood = play(0, {{6, cat({ACK}, series(0x40, 40))}}, readStation(0x100, 3));
  EXPECT_EQ(flood.result, 0);
  EXPECT_EQ(flood.data[2], CANARY);

  Exchange noise = play(0, std::vector<Step>(5, {7, series(0x06, 40)}), images(1, 30), 15 + 8);
  EXPECT_EQ(noise.result, -1);
  for (size_t i = 15; i < noise.data.size(); i++) EXPECT_EQ(noise.data[i], CANARY);

  // A station that has hung up: the write fails, the call ends at once with
  // the write's result, and no SIGPIPE takes the caller down.
  struct Row {
    const char *what;
    Call call;
    const char *writeLine;
  } rows[] = {
      {"station read", readStation(0x100, 4), "rs write"},
      {"sensor image", images(1, 30), "ds write"},
      {"station write", writeStation(0x100, {}, 4), nullptr},
  };
  for (const Row &r : rows) {
    Line line = Line::socketPair();
    close(line.peer);
    line.peer = -1;
    davis_device d{0, line.link, 0, 0};
    uint8_t data[32];
    CaptureStdout cap;
    EXPECT_EQ(r.call(&d, data), -1) << r.what;
    const std::string trace = cap.text();
    if (r.writeLine != nullptr) {
      EXPECT_EQ(linesWith(trace, r.writeLine).size(), 1u) << r.what;
      EXPECT_EQ(linesWith(trace, " secs").size(), 0u) << r.what;
    }
  }
}

TEST(StationLinkRead, LongReadsGoTailFirstInPiecesOfEight) {
  auto rrd = [](uint16_t addr, uint8_t count) {
    return Bytes{
        'R',   'R', 'D', static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr & 0xFF),
        count, 0x0D};
  };
  Exchange wdirs = play(0,
                        {{7, cat({ACK}, series(0x20, 4))},
                         {7, cat({ACK}, series(0x30, 4))},
                         {7, cat({ACK}, series(0x40, 4))},
                         {7, cat({ACK}, series(0x10, 4))}},
                        readLink(0x15E, 32));
  EXPECT_EQ(wdirs.result, 0);
  EXPECT_EQ(wdirs.commands,
            (std::vector<Bytes>{rrd(0x166, 7), rrd(0x16E, 7), rrd(0x176, 7), rrd(0x15E, 7)}));
  EXPECT_EQ(Bytes(wdirs.data.begin(), wdirs.data.begin() + 17),
            cat(cat(series(0x10, 4), series(0x20, 4)),
                cat(cat(series(0x30, 4), series(0x40, 4)), {CANARY})));

  Exchange nine = play(0, {{7, {ACK, 0x55}}, {7, cat({ACK}, series(0x01, 4))}}, readLink(0x100, 9));
  EXPECT_EQ(nine.result, 0);
  EXPECT_EQ(nine.commands, (std::vector<Bytes>{rrd(0x108, 0), rrd(0x100, 7)}));
  EXPECT_EQ(Bytes(nine.data.begin(), nine.data.begin() + 6), (Bytes{1, 2, 3, 4, 0x55, CANARY}));

  Exchange eight = play(0, {{7, cat({ACK}, series(0x01, 4))}}, readLink(0x100, 8));
  EXPECT_EQ(eight.commands.size(), 1u);

  // The first failing piece ends the call: the head is never asked for.
  Exchange broken = play(0, {{7, cat({ACK}, series(0x20, 4))}, {7, {NAK}}}, readLink(0x15E, 32));
  EXPECT_EQ(broken.result, -1);
  EXPECT_EQ(broken.sent.size(), 14u);
}

TEST(StationTrace, TimingLinesOfWritesLinkAndArchiveNeedDebug) {
  struct Row {
    const char *line;
    Call call;
    size_t cmdlen;
    Bytes reply;
  } rows[] = {
      {"station write 0x2c 4 ", writeStation(0x12C, {}, 4), 8, {ACK}},
      {"link write 0x3a 2 ", writeLink(0x13A, {}, 2), 7, {ACK}},
      {"link read 0x2a 4 ", readLink(0x12A, 3), 7, {ACK, 1, 2}},
      {"archive read 0x1234 1 ", readArchive(0x1234, 1), 8, cat({ACK}, withCrc({9}))},
      {"archive write 0x1234 ", writeArchive(0x1234, 1), 8, {ACK}},
  };
  for (int debug : {0, 1}) {
    davis_setdebugflag(&debug);
    for (const Row &r : rows) {
      Exchange run = play(0, {{r.cmdlen, r.reply}}, r.call);
      EXPECT_EQ(run.result, 0) << r.line;
      std::vector<std::string> lines = linesWith(run.trace, r.line);
      EXPECT_EQ(lines.size(), debug ? 1u : 0u) << r.line << " debug " << debug;
      if (!lines.empty()) {
        EXPECT_EQ(lines[0].substr(lines[0].size() - 5), " secs");
      }
    }
  }
  davis_setdebugflag(nullptr);
}

TEST(StationOpen, SerialOpenSetsARawLineAndReadsTheModel) {
  struct Row {
    const char *what;
    std::vector<Step> steps;
    const char *model;
    uint8_t answered;
  } rows[] = {
      {"the probe answered", {{6, {ACK, 0x03}}}, "perception", 1},
      // 0xFF reads as -1, as no answer does: only `answered` tells them apart.
      {"the probe answered a code outside the models", {{6, {ACK, 0xFF}}}, "unknown", 1},
      {"the probe never acknowledged", std::vector<Step>(5, {6, {NAK}}), "unknown", 0},
  };
  for (const Row &r : rows) {
    Line line = Line::pty();
    ScriptedPeer peer(line.peer, r.steps);
    Device dev;
    {
      CaptureStdout cap;
      dev.d = davis_open(line.path.c_str());
    }
    ASSERT_NE(dev.d, nullptr) << r.what;
    EXPECT_STREQ(davis_model_str(dev.d), r.model) << r.what;
    EXPECT_EQ(dev.d->answered, r.answered) << r.what;
    // Opened without waiting for carrier, then blocking as the link expects.
    EXPECT_EQ(fcntl(dev.d->fd, F_GETFL) & O_NONBLOCK, 0) << r.what;
    EXPECT_EQ(peer.commands(),
              std::vector<Bytes>(r.steps.size(), {'W', 'R', 'D', 0x12, 0x4D, 0x0D}))
        << r.what;
    struct termios t;
    ASSERT_EQ(tcgetattr(dev.d->fd, &t), 0);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B2400));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

TEST(StationOpen, PathsThatAreNotTerminalsAreRefused) {
  char file[] = "/tmp/station_open_XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string fifo = std::string(file) + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Whatever the link wrote into the pipe would wait here.
  const int fifoReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifoReader, 0);
  struct Row {
    const char *what;
    std::string path;
    int err;
  } rows[] = {
      {"character device that is no terminal", "/dev/null", ENOTTY},
      {"regular file", file, ENOTTY},
      {"pipe", fifo, ENOTTY},
      {"no such path", "/nonexistent/ttyS0", ENOENT},
  };
  for (const Row &r : rows) {
    const int before = openFdCount();
    errno = 0;
    EXPECT_EQ(davis_open(r.path.c_str()), nullptr) << r.what;
    EXPECT_EQ(errno, r.err) << r.what;
    EXPECT_EQ(openFdCount(), before) << r.what << ": descriptor left open";
  }
  char c;
  EXPECT_NE(read(fifoReader, &c, 1), 1) << "the pipe got a byte";
  close(fifoReader);
  unlink(fifo.c_str());
  unlink(file);
}

TEST(StationTcpOpen, RefusalsOpenNoSocketAndLeaveAFittingErrno) {
  struct Row {
    const char *addr, *port, *what;
    int err, orErr;  // the caller's perror must not say "Success"
  } rows[] = {
      {"127.0.0.1", "0", "port 0", EINVAL, EINVAL},
      {"127.0.0.1", "x", "port not a number", EINVAL, EINVAL},
      {"127.0.0.1", "65536", "port 0 after keeping 16 bits", EINVAL, EINVAL},
      // No such name, or (resolver unreachable here) try again later.
      {"256.1.1.1", "3001", "address that cannot resolve", ENXIO, EAGAIN},
  };
  for (const Row &r : rows) {
    const int before = openFdCount();
    errno = 0;
    EXPECT_EQ(davis_tcp_open(r.addr, r.port), nullptr) << r.what;
    EXPECT_TRUE(errno == r.err || errno == r.orErr) << r.what << ": " << strerror(errno);
    EXPECT_EQ(openFdCount(), before) << r.what;
  }
}

TEST(StationTcpOpen, ConnectsReadsTheModelOrFailsWhenRefused) {
  int lis = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(lis, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(lis, 1), 0);
  ASSERT_EQ(getsockname(lis, reinterpret_cast<sockaddr *>(&sa), &len), 0);
  const std::string port = std::to_string(ntohs(sa.sin_port));

  std::promise<void> opened;
  std::thread station([lis, done = opened.get_future()] {
    struct pollfd p = {lis, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    int c = accept(lis, nullptr, nullptr);
    ScriptedPeer peer(c, {{6, {ACK, 0x05}}});
    // Hold the line until the link has its model.
    done.wait_for(10s);
    peer.finish();
    close(c);
  });
  Device dev;
  {
    CaptureStdout cap;
    dev.d = davis_tcp_open("127.0.0.1", port.c_str());
  }
  opened.set_value();
  station.join();
  ASSERT_NE(dev.d, nullptr);
  EXPECT_STREQ(davis_model_str(dev.d), "energy");

  // Nobody listens there any more.
  close(lis);
  EXPECT_EQ(davis_tcp_open("127.0.0.1", port.c_str()), nullptr);
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(StationModel, NamesOfTheModelCodes) {
  struct Row {
    int8_t code;
    const char *name;
  } rows[] = {{0, "wizard3"}, {1, "wizard2"}, {2, "monitor"}, {3, "perception"}, {4, "groweather"},
              {5, "energy"},  {6, "health"},  {7, "unknown"}, {-1, "unknown"},   {127, "unknown"}};
  for (const Row &r : rows) {
    davis_device d{r.code, -1, 0, 0};
    EXPECT_STREQ(davis_model_str(&d), r.name) << static_cast<int>(r.code);
  }
}
