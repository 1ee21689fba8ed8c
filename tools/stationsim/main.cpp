// main.cpp - kivamet-stationsim: plays a station of the memory-mapped family
// with its data logger, over a pty or a TCP port on 127.0.0.1, for tests,
// demos and development without the hardware.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "framer.h"
#include "station.h"
#include "weatherdb.h"

namespace stationsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// 8N1 at 2400 bit/s: 10 bits a byte.
constexpr microseconds BYTE_TIME{10 * 1000000 / 2400};
constexpr size_t READ_CHUNK = 512;
constexpr size_t MAX_CONTROL_LINE = 4096;
// A late reply comes after the link's 2-second silence limit has passed.
constexpr std::chrono::milliseconds LATE_DELAY{3000};
// Connections that fill a stalled listener's accept queue, at most.
constexpr int STALL_FILLERS = 8;
// A trickling adaptor sends a byte every 1..60000 ms.
constexpr long MAX_TRICKLE_MS = 60000;

const char USAGE[] =
    "usage: kivamet-stationsim [--model N] (--pty | --tcp PORT) [--pace] [--frozen]\n"
    "         [--archive-history HOURS] [--archive-period MIN] [--archive-start ADDR]\n"
    "       kivamet-stationsim --history DAYS [--gap HOURS] PATH\n"
    "\n"
    "Plays a station of the memory-mapped family and its data logger.\n"
    "  --model N   model code reported at 0x4D, 0..255 (default 0, wizard3;\n"
    "              0..6 are the known models, LOOP for 0..3, MDMP for 4..6); a code\n"
    "              above 15 answers the model probe whole, as a station whose next\n"
    "              nibble rides along (255 reads as -1, like no answer)\n"
    "  --pty       open a pty and print 'pty <slave path>'\n"
    "  --tcp PORT  listen on 127.0.0.1 (0: any free port), print 'tcp 127.0.0.1 <port>'\n"
    "  --pace      send at the pace of a 2400 bit/s 8N1 line\n"
    "  --frozen    start with fixed readings; without it they follow the weather of\n"
    "              the host's time, the same in every run (days and nights, showers\n"
    "              now and then, calm and gusty spells)\n"
    "  --archive-history HOURS  start as if running for HOURS (1..192) already:\n"
    "              the archive ring holds the records of that past weather, which\n"
    "              drifted whether --frozen or not\n"
    "  --archive-period MIN  the logger's archive period, 1..255 minutes (default 30)\n"
    "  --archive-start ADDR  archive address of the first record, a multiple of 21\n"
    "              below 32760 (default 0); near the end the ring wraps early\n"
    "  --history DAYS PATH  play DAYS (1..400) of the weather up to now and log a\n"
    "              sample a minute into a new database PATH as kivamet does, then exit\n"
    "  --gap HOURS with --history: the last sample HOURS (0..48) before now\n"
    "\n"
    "Standard output: 'rx <hex bytes>' for every command frame received,\n"
    "'write station|link|archive <address hex> <hex bytes>' for every memory write,\n"
    "'client open' and 'client closed' as TCP clients come and go.\n"
    "\n"
    "It runs until killed, or until standard input is a pipe that reaches its end\n"
    "(whoever drives it has gone): then it exits with status 0.\n"
    "\n"
    "Control lines on standard input (each answered by 'ok <line>' or an error on stderr):\n"
    "  silent on|off                  stop or start answering at all\n"
    "  fault KIND [COUNT [AFTER]]     spoil the next COUNT replies of that kind, after\n"
    "                                 AFTER of them went out whole\n"
    "                                 (default 1, 0 clears): ack (any acknowledged\n"
    "                                 reply), start (images), crc (replies with a CRC),\n"
    "                                 short (any), drop (any; TCP: hang up, pty: no answer),\n"
    "                                 late (any: sent whole 3 s later, then 'late <hex>')\n"
    "  trickle MS|off                 every reply leaves a byte every MS milliseconds, as\n"
    "                                 through an adaptor that trickles (a new command\n"
    "                                 still cuts the rest of the last reply short)\n"
    "  accept on|off|stall            TCP: take clients / refuse them / let their\n"
    "                                 connect hang (accept queue full, SYNs dropped)\n"
    "  poke station|link ADDR BYTES   set bytes at an even nibble address (hex)\n"
    "  peek station|link ADDR N       print 'peek station|link ADDR <hex bytes>'\n"
    "  peek archive ADDR N            N bytes of the archive at byte address ADDR (hex)\n"
    "  archive crc K                  every read covering the K-th newest record gets a\n"
    "                                 broken CRC (0 mends them all)\n"
    "  freeze | drift                 hold the readings, or let them follow the weather\n"
    "  image                          print 'image <15 hex bytes>'\n";

struct Options {
  int model = 0;
  bool pty = false;
  int tcpPort = -1;
  bool pace = false;
  bool frozen = false;
  long archiveHours = 0;
  int archivePeriod = 30;
  unsigned archiveStart = 0;
};

std::string hexBytes(const uint8_t *b, size_t n) {
  std::string s;
  char h[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(h, sizeof h, "%s%02x", i ? " " : "", b[i]);
    s += h;
  }
  return s;
}

bool parseNumber(const char *text, int base, long lo, long hi, long *out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, base);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Hex bytes either one to a word ("c1 74") or run together ("c174").
bool parseHexBytes(const std::vector<std::string> &words, size_t from, std::vector<uint8_t> *out) {
  for (size_t i = from; i < words.size(); i++) {
    const std::string &w = words[i];
    if (w.size() > 2 && w.size() % 2 != 0) return false;
    for (size_t p = 0; p < w.size(); p += 2) {
      long v;
      if (!parseNumber(w.substr(p, 2).c_str(), 16, 0, 0xFF, &v)) return false;
      out->push_back(static_cast<uint8_t>(v));
    }
  }
  return !out->empty();
}

class Simulator {
 public:
  explicit Simulator(const Options &o)
      : opt_(o),
        station_(o.model, !o.frozen, time(nullptr) - o.archiveHours * 3600,
                 [](const std::string &l) { say(l); }) {
    // Checked with the options; the past is played before anyone connects.
    station_.setArchive(o.archivePeriod, o.archiveStart);
    if (o.archiveHours > 0) {
      const auto past = std::chrono::seconds(o.archiveHours * 3600);
      station_.playPast(static_cast<uint64_t>(past.count()));
      start_ -= past;
    }
  }
  ~Simulator() {
    closeListeners();
    for (int fd : {masterFd_, slaveFd_, clientFd_})
      if (fd >= 0) close(fd);
  }

  bool open();
  // Returns the exit status: 0 once the controlling pipe has closed, 1
  // when the wait fails.
  int run();

 private:
  static void say(const std::string &line) { printf("%s\n", line.c_str()); }
  int ioFd() const { return opt_.pty ? masterFd_ : clientFd_; }
  // Between two bytes of a reply: the trickle's pace, the line's, or none.
  microseconds byteTime() const {
    if (trickle_.count() > 0) return trickle_;
    return opt_.pace ? BYTE_TIME : microseconds(0);
  }
  microseconds slotOffset(size_t bytes) const { return byteTime() * static_cast<long>(bytes); }
  uint64_t secondsRunning(Clock::time_point now) const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(now - start_).count());
  }
  bool openPty();
  bool openTcp();
  bool setAccept(const std::string &mode);
  void closeListeners();
  void acceptClient();
  void dropClient();
  void readLine(Clock::time_point now);
  void handleFrames(Clock::time_point now);
  void sendDue(Clock::time_point now);
  void sendLate(Clock::time_point now);
  void readStdin();
  void control(const std::string &line);
  NibbleMemory *memoryNamed(const std::string &name);

  Options opt_;
  Station station_;
  Framer framer_;
  Clock::time_point start_ = Clock::now();
  int masterFd_ = -1, slaveFd_ = -1;
  int listenFd_ = -1, clientFd_ = -1;
  uint16_t port_ = 0;
  // accept stall: a listener nobody accepts on and the connections that
  // fill its queue.
  int stallFd_ = -1;
  std::vector<int> fillers_;
  // Replies held back by the late fault, in the order they fall due.
  struct LateReply {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };
  std::deque<LateReply> late_;
  // The reply on its way out; with pacing, byte i leaves at sendAt_ + i bytes.
  std::deque<uint8_t> out_;
  Clock::time_point sendAt_{};
  size_t sentOfReply_ = 0;
  microseconds trickle_{0};
  // When the last command byte would have finished arriving on a real line.
  Clock::time_point inLineFree_{};
  bool stdinOpen_ = true;
  // End of file on a pipe means the controller has gone (a test that
  // crashed, say): stop with it rather than linger. A terminal or
  // /dev/null (started in the background) just ends control.
  bool stdinIsPipe_ = false;
  bool controllerGone_ = false;
  std::string stdinBuf_;
};

bool Simulator::open() {
  struct stat st;
  stdinIsPipe_ = fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  return opt_.pty ? openPty() : openTcp();
}

bool Simulator::openPty() {
  masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd_ < 0 || grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0) {
    perror("kivamet-stationsim: pty");
    return false;
  }
  const char *path = ptsname(masterFd_);
  if (path == nullptr) {
    perror("kivamet-stationsim: ptsname");
    return false;
  }
  const std::string slave = path;
  // Holding the slave open ourselves keeps the master from hanging up when a
  // client closes it, so the next client finds the same line working.
  slaveFd_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveFd_ < 0) {
    perror("kivamet-stationsim: pty slave");
    return false;
  }
  // Raw from the start: a client that sets nothing must not get echo or
  // line editing of binary replies.
  struct termios tio;
  if (tcgetattr(slaveFd_, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetspeed(&tio, B2400);
    tcsetattr(slaveFd_, TCSANOW, &tio);
  }
  fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
  printf("pty %s\n", slave.c_str());
  fflush(stdout);
  return true;
}

// A listener on 127.0.0.1; port 0 takes any free one and fills it in.
int listenOn(uint16_t *port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(*port);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

bool Simulator::openTcp() {
  port_ = static_cast<uint16_t>(opt_.tcpPort);
  listenFd_ = listenOn(&port_, 4);
  if (listenFd_ < 0) {
    perror("kivamet-stationsim: listen");
    return false;
  }
  printf("tcp 127.0.0.1 %u\n", port_);
  fflush(stdout);
  return true;
}

void Simulator::closeListeners() {
  for (int fd : fillers_) close(fd);
  fillers_.clear();
  for (int *fd : {&listenFd_, &stallFd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

// The client already connected stays; only new ones are affected.
bool Simulator::setAccept(const std::string &mode) {
  if (opt_.pty) return false;
  closeListeners();
  if (mode == "off") return true;
  if (mode == "on") {
    listenFd_ = listenOn(&port_, 4);
    return listenFd_ >= 0;
  }
  // The kernel drops a SYN for a listener whose accept queue is full, so the
  // connect of a new client hangs as it would towards a blackholed adaptor.
  stallFd_ = listenOn(&port_, 0);
  if (stallFd_ < 0) return false;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port_);
  for (int i = 0; i < STALL_FILLERS; i++) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c < 0) return false;
    fillers_.push_back(c);
    if (connect(c, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0) continue;
    if (errno != EINPROGRESS) return false;
    // Still waiting for its handshake: the queue is full.
    struct pollfd p = {c, POLLOUT, 0};
    if (poll(&p, 1, 200) == 0) return true;
  }
  return false;
}

void Simulator::acceptClient() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  clientFd_ = fd;
  framer_.clear();
  out_.clear();
  late_.clear();
  say("client open");
}

void Simulator::dropClient() {
  if (clientFd_ < 0) return;
  close(clientFd_);
  clientFd_ = -1;
  framer_.clear();
  out_.clear();
  late_.clear();
  say("client closed");
}

void Simulator::readLine(Clock::time_point now) {
  uint8_t buf[READ_CHUNK];
  ssize_t n = read(ioFd(), buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    // A pty master never ends while we hold the slave; a TCP client has left.
    if (!opt_.pty) dropClient();
    return;
  }
  framer_.push(buf, static_cast<size_t>(n), now);
  if (opt_.pace) inLineFree_ = std::max(inLineFree_, now) + BYTE_TIME * static_cast<long>(n);
}

void Simulator::handleFrames(Clock::time_point now) {
  while (std::optional<Frame> f = framer_.next(now)) {
    say("rx " + hexBytes(f->bytes.data(), f->bytes.size()));
    Reply r = station_.handle(*f);
    if (r.drop) {
      if (!opt_.pty) dropClient();
      return;
    }
    // A new command ends whatever was left of an earlier answer.
    out_.clear();
    if (r.late)
      late_.push_back({now + LATE_DELAY, r.bytes});
    else
      out_.assign(r.bytes.begin(), r.bytes.end());
    sentOfReply_ = 0;
    // Paced, byte i is on the far end once its 10 bits are through.
    sendAt_ = opt_.pace ? std::max(now, inLineFree_) + BYTE_TIME : now;
    sendAt_ += trickle_;
  }
}

void Simulator::sendDue(Clock::time_point now) {
  if (out_.empty() || ioFd() < 0 || now < sendAt_) return;
  size_t due = out_.size();
  if (byteTime().count() > 0) {
    // Bytes whose slot on the line has begun by now; catching up after a
    // late wake-up still keeps the average at the line rate.
    const auto elapsed = std::chrono::duration_cast<microseconds>(now - sendAt_);
    const size_t slots = static_cast<size_t>(elapsed / byteTime()) + 1;
    due = std::min(out_.size(), slots > sentOfReply_ ? slots - sentOfReply_ : 0);
  }
  if (due == 0) return;
  std::vector<uint8_t> chunk(out_.begin(), out_.begin() + static_cast<long>(due));
  ssize_t n = opt_.pty ? write(masterFd_, chunk.data(), chunk.size())
                       : send(clientFd_, chunk.data(), chunk.size(), MSG_NOSIGNAL);
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR && !opt_.pty) dropClient();
    return;
  }
  out_.erase(out_.begin(), out_.begin() + n);
  sentOfReply_ += static_cast<size_t>(n);
}

// Late replies go out whole when due, whatever came since.
void Simulator::sendLate(Clock::time_point now) {
  while (!late_.empty() && late_.front().due <= now) {
    const std::vector<uint8_t> &b = late_.front().bytes;
    if (ioFd() >= 0) {
      ssize_t n = opt_.pty ? write(masterFd_, b.data(), b.size())
                           : send(clientFd_, b.data(), b.size(), MSG_NOSIGNAL);
      if (n >= 0) say("late " + hexBytes(b.data(), b.size()));
    }
    late_.pop_front();
  }
}

// One read after poll said readable never blocks; stdin stays blocking, as
// it may be the terminal of the shell that started us.
void Simulator::readStdin() {
  char buf[READ_CHUNK];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    stdinOpen_ = false;
    controllerGone_ = stdinIsPipe_;
    return;
  }
  stdinBuf_.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = stdinBuf_.find('\n')) != std::string::npos) {
    std::string line = stdinBuf_.substr(0, nl);
    stdinBuf_.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    control(line);
  }
  if (stdinBuf_.size() > MAX_CONTROL_LINE) stdinBuf_.clear();
}

NibbleMemory *Simulator::memoryNamed(const std::string &name) {
  if (name == "station") return &station_.stationMemory();
  if (name == "link") return &station_.linkMemory();
  return nullptr;
}

void Simulator::control(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return;
  auto fail = [&line](const char *why) { fprintf(stderr, "error %s: %s\n", why, line.c_str()); };
  const std::string &cmd = w[0];

  if (cmd == "silent" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
    station_.setSilent(w[1] == "on");
  } else if (cmd == "fault" && w.size() >= 2 && w.size() <= 4) {
    static const char *const KINDS[FAULT_KINDS] = {"drop", "ack", "start", "crc", "short", "late"};
    int kind = -1;
    for (int k = 0; k < FAULT_KINDS; k++)
      if (w[1] == KINDS[k]) kind = k;
    long count = 1;
    long after = 0;
    if (kind < 0) return fail("unknown fault");
    if (w.size() >= 3 && !parseNumber(w[2].c_str(), 10, 0, 1000000, &count))
      return fail("bad count");
    if (w.size() == 4 && !parseNumber(w[3].c_str(), 10, 0, 1000000, &after))
      return fail("bad count");
    station_.setFault(static_cast<Fault>(kind), static_cast<int>(count), static_cast<int>(after));
  } else if (cmd == "trickle" && w.size() == 2) {
    long ms = 0;
    if (w[1] != "off" && !parseNumber(w[1].c_str(), 10, 1, MAX_TRICKLE_MS, &ms))
      return fail("bad trickle");
    trickle_ = std::chrono::milliseconds(ms);
  } else if (cmd == "peek" && w.size() == 4 && w[1] == "archive") {
    const std::vector<uint8_t> &archive = station_.archiveMemory();
    long addr, n;
    if (!parseNumber(w[2].c_str(), 16, 0, static_cast<long>(archive.size()) - 1, &addr) ||
        !parseNumber(w[3].c_str(), 10, 1, static_cast<long>(archive.size()) - addr, &n))
      return fail("bad archive range");
    printf("peek archive %lx %s\n", addr, hexBytes(&archive[addr], static_cast<size_t>(n)).c_str());
    return;
  } else if (cmd == "archive" && w.size() == 3 && w[1] == "crc") {
    long back;
    if (!parseNumber(w[2].c_str(), 10, 0, 0xFFFF, &back) ||
        station_.spoilRecord(static_cast<unsigned>(back)) < 0)
      return fail("no such record");
  } else if ((cmd == "poke" || cmd == "peek") && w.size() >= 4) {
    NibbleMemory *mem = memoryNamed(w[1]);
    long addr;
    if (mem == nullptr) return fail("no such memory");
    if (!parseNumber(w[2].c_str(), 16, 0, mem->size() - 1, &addr)) return fail("bad address");
    if (cmd == "poke") {
      std::vector<uint8_t> bytes;
      if (addr % 2 != 0) return fail("odd address");
      if (!parseHexBytes(w, 3, &bytes)) return fail("bad bytes");
      if (addr + 2 * static_cast<long>(bytes.size()) > static_cast<long>(mem->size()))
        return fail("past the end of memory");
      mem->write(static_cast<unsigned>(addr), bytes.data(),
                 static_cast<unsigned>(2 * bytes.size()));
    } else {
      long n;
      if (w.size() != 4 || !parseNumber(w[3].c_str(), 10, 1, mem->size() - addr, &n))
        return fail("bad nibble count");
      std::vector<uint8_t> b = mem->read(static_cast<unsigned>(addr), static_cast<unsigned>(n));
      printf("peek %s %lx %s\n", w[1].c_str(), addr, hexBytes(b.data(), b.size()).c_str());
      return;
    }
  } else if (cmd == "accept" && w.size() == 2 &&
             (w[1] == "on" || w[1] == "off" || w[1] == "stall")) {
    if (!setAccept(w[1])) return fail("cannot change accepting");
  } else if ((cmd == "freeze" || cmd == "drift") && w.size() == 1) {
    station_.setDrift(cmd == "drift");
  } else if (cmd == "image" && w.size() == 1) {
    std::vector<uint8_t> img = station_.image();
    printf("image %s\n", hexBytes(img.data(), img.size()).c_str());
    return;
  } else {
    return fail("unknown control line");
  }
  printf("ok %s\n", line.c_str());
}

int Simulator::run() {
  while (!controllerGone_) {
    Clock::time_point now = Clock::now();
    station_.advance(secondsRunning(now));

    // Wake for the next clock second, a stale partial frame, a paced byte.
    Clock::time_point wake = start_ + std::chrono::seconds(secondsRunning(now) + 1);
    if (auto stale = framer_.staleAt()) wake = std::min(wake, *stale);
    const Clock::time_point nextByte = sendAt_ + slotOffset(sentOfReply_);
    // A byte already due waits for POLLOUT instead.
    if (!out_.empty() && nextByte > now) wake = std::min(wake, nextByte);
    if (!late_.empty()) wake = std::min(wake, late_.front().due);

    struct pollfd fds[3];
    nfds_t nfds = 0;
    int stdinSlot = -1, ioSlot = -1, listenSlot = -1;
    if (stdinOpen_) {
      stdinSlot = static_cast<int>(nfds);
      fds[nfds++] = {STDIN_FILENO, POLLIN, 0};
    }
    if (ioFd() >= 0) {
      ioSlot = static_cast<int>(nfds);
      short events = POLLIN;
      if (!out_.empty() && nextByte <= now) events |= POLLOUT;
      fds[nfds++] = {ioFd(), events, 0};
    } else if (listenFd_ >= 0) {
      // One client at a time: the next waits in the backlog until this one leaves.
      listenSlot = static_cast<int>(nfds);
      fds[nfds++] = {listenFd_, POLLIN, 0};
    }
    // To the nanosecond: a paced byte a millisecond late would add up to the
    // exchange times the benchmarks set against the wire time.
    const long long waitNs = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count());
    const struct timespec wait = {static_cast<time_t>(waitNs / 1000000000LL),
                                  static_cast<long>(waitNs % 1000000000LL)};
    if (ppoll(fds, nfds, &wait, nullptr) < 0 && errno != EINTR) {
      perror("kivamet-stationsim: poll");
      return 1;
    }
    now = Clock::now();
    station_.advance(secondsRunning(now));
    // Control lines first: a fault set before a command was sent applies to it.
    if (stdinSlot >= 0 && fds[stdinSlot].revents) readStdin();
    if (ioSlot >= 0 && (fds[ioSlot].revents & (POLLIN | POLLHUP | POLLERR))) readLine(now);
    handleFrames(now);
    if (listenSlot >= 0 && (fds[listenSlot].revents & POLLIN)) acceptClient();
    sendDue(now);
    sendLate(now);
    fflush(stdout);
  }
  return 0;
}

// The station's weather of the last `days`, logged a sample a minute with
// the daemon's own sample, offsets, checks, derived values and update text:
// a database with history for graphs and screenshots, without waiting days.
// With a gap the last sample is `gapHours` old, as after kivamet was away.
int writeHistory(long days, long gapHours, const std::string &path) {
  const time_t end = time(nullptr) / 60 * 60 - gapHours * 3600;
  const time_t start = end - days * 86400;
  Station st(0, true, start, [](const std::string &) {});
  auto cell = [&st](unsigned addr) { return static_cast<int16_t>(st.stationMemory().get16(addr)); };
  const davis_cal cal = {static_cast<int16_t>(-cell(sm::STNDRD)), cell(sm::TP1CAL),
                         cell(sm::TP2CAL), cell(sm::RNCAL), cell(sm::HM2CAL)};
  auto sample = [&](time_t t) {
    st.advance(static_cast<uint64_t>(t - start));
    const std::vector<uint8_t> image = st.image();
    return sampleFromImage(image.data(), cell(sm::DEWDTA), cell(sm::CHLDTA));
  };
  std::string why;
  ReadingStream readings(qcDefaults());
  if (!testsupport::createWeatherDb(path, start - 60, &why) ||
      !testsupport::fillWeatherDb(path, start, end, sample, &why, cal, &readings)) {
    fprintf(stderr, "kivamet-stationsim: %s: %s\n", path.c_str(), why.c_str());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace stationsim

int main(int argc, char **argv) {
  using stationsim::Options;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);

  static const struct option LONG[] = {{"model", required_argument, nullptr, 'm'},
                                       {"pty", no_argument, nullptr, 'p'},
                                       {"tcp", required_argument, nullptr, 't'},
                                       {"pace", no_argument, nullptr, 'c'},
                                       {"frozen", no_argument, nullptr, 'f'},
                                       {"archive-history", required_argument, nullptr, 'A'},
                                       {"archive-period", required_argument, nullptr, 'P'},
                                       {"archive-start", required_argument, nullptr, 'S'},
                                       {"history", required_argument, nullptr, 'H'},
                                       {"gap", required_argument, nullptr, 'g'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  Options o;
  long v, historyDays = 0, gapHours = -1;
  auto number = [&v](const char *what, long lo, long hi) {
    if (stationsim::parseNumber(optarg, 10, lo, hi, &v)) return true;
    fprintf(stderr, "kivamet-stationsim: bad %s '%s'\n", what, optarg);
    return false;
  };
  for (int c; (c = getopt_long(argc, argv, "", LONG, nullptr)) != -1;) {
    switch (c) {
      case 'm':
        if (!number("model code", 0, 255)) return 2;
        o.model = static_cast<int>(v);
        break;
      case 'p':
        o.pty = true;
        break;
      case 't':
        if (!number("port", 0, 65535)) return 2;
        o.tcpPort = static_cast<int>(v);
        break;
      case 'c':
        o.pace = true;
        break;
      case 'f':
        o.frozen = true;
        break;
      case 'A':
        if (!number("archive history", 1, 192)) return 2;
        o.archiveHours = v;
        break;
      case 'P':
        if (!number("archive period", 1, 255)) return 2;
        o.archivePeriod = static_cast<int>(v);
        break;
      case 'S':
        if (!number("archive start", 0, DAVIS_ARCHIVE_RING - 1)) return 2;
        if (v % DAVIS_RECORD_BYTES != 0) {
          fprintf(stderr, "kivamet-stationsim: archive start %ld is no record's place\n", v);
          return 2;
        }
        o.archiveStart = static_cast<unsigned>(v);
        break;
      case 'H':
        if (!number("history", 1, 400)) return 2;
        historyDays = v;
        break;
      case 'g':
        if (!number("gap", 0, 48)) return 2;
        gapHours = v;
        break;
      case 'h':
        fputs(stationsim::USAGE, stdout);
        return 0;
      default:
        fputs(stationsim::USAGE, stderr);
        return 2;
    }
  }
  if (historyDays > 0) {
    if (optind + 1 != argc) {
      fputs(stationsim::USAGE, stderr);
      return 2;
    }
    return stationsim::writeHistory(historyDays, gapHours > 0 ? gapHours : 0, argv[optind]);
  }
  if (optind != argc || o.pty == (o.tcpPort >= 0) || gapHours >= 0) {
    fputs(stationsim::USAGE, stderr);
    return 2;
  }
  stationsim::Simulator sim(o);
  if (!sim.open()) return 1;
  return sim.run();
}
