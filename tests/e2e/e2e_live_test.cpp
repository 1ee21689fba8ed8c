// End-to-end: live publishing with a real broker: Home Assistant discovery
// configs, values that follow the simulator in both unit systems, the xPL
// triggers, the status will, station up and down, and broker faults.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

using e2e::seconds;
using testsupport::MqttMsg;
using testsupport::MqttSub;

const std::string kBase = "kivamet/e2etest/";
std::string configTopic(const std::string &key) {
  return "homeassistant/sensor/kivamet_e2etest/" + key + "/config";
}

using e2e::pokeStation;

struct Reading {
  const char *key, *haClass, *xplType;
  const char *unit[2], *xplUnit[2], *text[2];  // us, metric; no xPL unit: the same
  const char *haState = "measurement";
};
const Reading kReadings[] = {
    {"outside_temperature", "temperature", "temp", {"°F", "°C"}, {"F", "C"}, {"72.3", "22.4"}},
    {"inside_temperature", "temperature", "temp", {"°F", "°C"}, {"F", "C"}, {"69.5", "20.8"}},
    {"outside_humidity", "humidity", "humidity", {"%", "%"}, {}, {"87", "87"}},
    {"inside_humidity", "humidity", "humidity", {"%", "%"}, {}, {"45", "45"}},
    {"barometer", "atmospheric_pressure", "pressure", {"inHg", "hPa"}, {}, {"29.911", "1012.9"}},
    {"wind_speed", "wind_speed", "speed", {"mph", "km/h"}, {}, {"10", "16.1"}},
    {"wind_direction",
     "wind_direction",
     "direction",
     {"°", "°"},
     {"degrees", "degrees"},
     {"225", "225"},
     "measurement_angle"},
    {"rain_total",
     "precipitation",
     "distance",
     {"in", "mm"},
     {},
     {"12.34", "313.4"},
     "total_increasing"},
    {"dew_point", "temperature", "temp", {"°F", "°C"}, {"F", "C"}, {"55.0", "12.8"}},
    // kivamet's own: above 50 F the temperature, whatever the station's CHLDTA says.
    {"wind_chill", "temperature", "temp", {"°F", "°C"}, {"F", "C"}, {"72.3", "22.4"}},
    {"heat_index", "temperature", "temp", {"°F", "°C"}, {"F", "C"}, {"73.3", "22.9"}},
    {"apparent_temperature", "temperature", "temp", {"°F", "°C"}, {"F", "C"}, {"73.4", "23.0"}},
    // No rain since the daemon's first reading.
    {"rain_rate", "precipitation_intensity", "generic", {"in/h", "mm/h"}, {}, {"0.00", "0.0"}},
    {"rain_last_hour", "precipitation", "distance", {"in", "mm"}, {}, {"0.00", "0.0"}},
    {"rain_today",
     "precipitation",
     "distance",
     {"in", "mm"},
     {},
     {"0.00", "0.0"},
     "total_increasing"},
};

const e2e::XplMsg *trigger(e2e::Rig &rig, const std::string &device, const std::string &current) {
  return rig.peer.waitFor(
      [&](const e2e::XplMsg &m) {
        return m.type == "xpl-trig" && m.schema == "sensor.basic" && m.source == rig.target() &&
               m.get("device") == device && m.get("current") == current;
      },
      seconds(60));
}

// Rig, broker, subscriber and a daemon reading live every 2 seconds.
bool startLive(e2e::Rig &rig, MqttSub &sub, std::vector<std::string> args = {}) {
  if (!rig.startNetworkAndStation() || !pokeStation(rig, 723) || !rig.broker.start() ||
      !sub.connect(rig.broker.port()))
    return false;
  rig.config.location = "";  // no calibration: the offsets stay as poked
  args.insert(args.begin(), {"-d", "--live", "2", "--mqtt", rig.broker.url()});
  return rig.startDaemon(true, args);
}

struct UnitsRun {
  const char *name, *units;
  int u;
  int stop;  // the status says "offline" either way: the will, or our own
};
class Live : public ::testing::TestWithParam<UnitsRun> {};
void PrintTo(const UnitsRun &r, std::ostream *os) {
  *os << r.name;
}

TEST_P(Live, DiscoveryValuesAndTriggersFollowTheStation) {
  const UnitsRun &run = GetParam();
  e2e::Rig rig;
  MqttSub sub, late;
  ASSERT_TRUE(startLive(rig, sub, {"--units", run.units}));
  ASSERT_NE(sub.waitFor(kBase + "station", "online", seconds(30)), nullptr);
  for (const Reading &r : kReadings) {
    const MqttMsg *m = sub.waitFor(configTopic(r.key), nullptr, seconds(10));
    ASSERT_NE(m, nullptr) << r.key;
    const auto j = nlohmann::json::parse(m->payload);
    EXPECT_EQ(j["device_class"], r.haClass) << r.key;
    EXPECT_EQ(j["unit_of_measurement"], r.unit[run.u]) << r.key;
    EXPECT_EQ(j["state_topic"], kBase + r.key);
    EXPECT_EQ(j["state_class"], r.haState) << r.key;
    EXPECT_EQ(j["availability"][1]["topic"], kBase + "station");
    EXPECT_EQ(j["device"]["model"], "wizard3");
    EXPECT_EQ(j["origin"]["name"], "kivamet");
    EXPECT_NE(j["origin"]["sw_version"], "");
    EXPECT_EQ(j["origin"]["support_url"].get<std::string>().compare(0, 8, "https://"), 0);

    EXPECT_NE(sub.waitFor(kBase + r.key, r.text[run.u], seconds(10)), nullptr) << r.key;
    const e2e::XplMsg *t = trigger(rig, r.key, r.text[run.u]);
    ASSERT_NE(t, nullptr) << r.key;
    EXPECT_EQ(t->get("type"), r.xplType);
    EXPECT_EQ(t->get("units"), r.xplUnit[run.u] ? r.xplUnit[run.u] : r.unit[run.u]);
  }
  // A late subscriber gets configs and values from the broker's store.
  ASSERT_TRUE(late.connect(rig.broker.port()));
  for (const Reading &r : kReadings)
    for (const std::string &topic : {configTopic(r.key), kBase + r.key})
      EXPECT_NE(late.waitFor([&](const MqttMsg &m) { return m.topic == topic && m.retained; },
                             seconds(10)),
                nullptr)
          << topic;
  const MqttMsg *state = sub.waitFor(kBase + "state", nullptr, seconds(10));
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(nlohmann::json::parse(state->payload)["barometer"],
            std::stod(kReadings[4].text[run.u]));

  // Outside 80.0 F: MQTT and xPL follow.
  const char *warmer = run.u == 0 ? "80.0" : "26.7";
  const size_t from = sub.mark();
  ASSERT_TRUE(pokeStation(rig, 800));
  EXPECT_NE(sub.waitFor(kBase + "outside_temperature", warmer, seconds(30), from), nullptr);
  EXPECT_NE(trigger(rig, "outside_temperature", warmer), nullptr);

  const size_t end = sub.mark();
  ASSERT_TRUE(rig.daemon.proc().signal(run.stop));
  EXPECT_NE(sub.waitFor(kBase + "status", "offline", seconds(30), end), nullptr);
  EXPECT_EQ(rig.daemon.proc().wait(seconds(20)), run.stop == SIGTERM ? 0 : 128 + SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Units, Live,
                         ::testing::Values(UnitsRun{"UsEndedByKillWill", "us", 0, SIGKILL},
                                           UnitsRun{"MetricEndedByTerm", "metric", 1, SIGTERM}),
                         [](const auto &i) { return std::string(i.param.name); });

TEST(LiveStation, OfflineWhileSilentWithNoValuesThenOnlineAgain) {
  e2e::Rig rig;
  MqttSub sub;
  rig.daemon.env["KIVAMET_LOG_PERIOD"] = "5";  // only logging passes ask an offline station
  ASSERT_TRUE(startLive(rig, sub));
  ASSERT_NE(sub.waitFor(kBase + "station", "online", seconds(30)), nullptr);
  ASSERT_TRUE(rig.sim.command("silent on"));
  const MqttMsg *offline = sub.waitFor(kBase + "station", "offline", seconds(90));
  ASSERT_NE(offline, nullptr);
  const size_t offlineAt = static_cast<size_t>(offline - sub.messages().data());
  EXPECT_NE(trigger(rig, "station", "offline"), nullptr);
  EXPECT_TRUE(rig.daemon.waitErr("station offline: three reads in a row failed\n", seconds(1)));

  ASSERT_TRUE(pokeStation(rig, 800));
  ASSERT_TRUE(rig.sim.command("silent off"));
  const MqttMsg *online = sub.waitFor(kBase + "station", "online", seconds(60), offlineAt);
  ASSERT_NE(online, nullptr);
  const size_t onlineAt = static_cast<size_t>(online - sub.messages().data());
  for (size_t i = offlineAt; i < onlineAt; i++)
    EXPECT_EQ(sub.messages()[i].topic.find(kBase + "outside"), std::string::npos) << "stale";
  EXPECT_NE(sub.waitFor(kBase + "outside_temperature", "80.0", seconds(10), onlineAt), nullptr);
  EXPECT_NE(trigger(rig, "station", "online"), nullptr);
}

TEST(LiveStation, NewInstanceClearsTheOldTopics) {
  e2e::Rig rig;
  MqttSub sub;
  ASSERT_TRUE(startLive(rig, sub));
  ASSERT_NE(sub.waitFor(kBase + "station", "online", seconds(30)), nullptr);
  auto items = rig.config.items();
  items.insert(items.begin(), {"newconf", "renamed"});
  ASSERT_TRUE(rig.peer.send("xpl-cmnd", rig.target(), "config.response", items));
  for (const std::string &topic : {configTopic("rain_total"), kBase + "status"})
    EXPECT_NE(sub.waitFor(topic, "", seconds(30)), nullptr) << topic;
  EXPECT_NE(sub.waitFor("kivamet/renamed/status", "online", seconds(30)), nullptr);
}

// ---- Broker faults: xPL is served throughout ---------------------------------

struct BrokerFault {
  const char *name;
  bool upAtStart;        // else started once the daemon failed to reach it
  bool restart;          // killed and started again while the daemon is connected
  const char *password;  // the daemon's, for the broker's user "kiva" ("": anonymous)
  const char *errLine;   // the daemon's complaint ("": it gets through)
  // Broker and password from a settings file whose prefix the command line
  // puts right; else both on the command line and in the environment.
  bool settingsFile = false;
};
class Faults : public ::testing::TestWithParam<BrokerFault> {};
void PrintTo(const BrokerFault &f, std::ostream *os) {
  *os << f.name;
}

TEST_P(Faults, XplIsServedAndEverythingIsPublishedOnceTheBrokerTakesIt) {
  const BrokerFault &f = GetParam();
  const std::string user = *f.password ? "kiva" : "";
  e2e::Rig rig;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(rig.broker.start(0, user, "right"));
  if (!f.upAtStart) rig.broker.stop();
  std::vector<std::string> args = {"-d", "--mqtt", rig.broker.url(user)};
  if (f.settingsFile) {
    const std::string path = rig.daemon.dir() + "/kivamet.toml";
    ASSERT_TRUE(testsupport::writeFile(path, "[mqtt]\nurl = \"" + rig.broker.url(user) +
                                                 "\"\npassword = \"" + f.password +
                                                 "\"\nprefix = \"elsewhere\"\n"));
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    args = {"-d", "--config", path, "--mqtt-prefix", "kivamet"};
  } else if (*f.password) {
    rig.daemon.env["KIVAMET_MQTT_PASSWORD"] = f.password;
  }
  ASSERT_TRUE(rig.startDaemon(true, args));
  const std::string complaint = *f.errLine ? f.errLine : f.upAtStart ? "" : " not reached (";
  EXPECT_TRUE(rig.daemon.waitErr(complaint, seconds(30)));
  if (f.restart) {
    MqttSub first;
    ASSERT_TRUE(first.connect(rig.broker.port()));
    ASSERT_NE(first.waitFor(kBase + "status", "online", seconds(30)), nullptr);
    ASSERT_TRUE(rig.broker.stop());
    EXPECT_TRUE(rig.daemon.waitErr(" lost (", seconds(30)));
  }
  EXPECT_EQ(rig.reading("ID"), "wizard3");
  if (!f.upAtStart || f.restart) rig.broker.start(rig.broker.port(), user, "right");
  // A broker without persistence: every retained config it holds is fresh.
  MqttSub sub;
  ASSERT_TRUE(sub.connect(rig.broker.port(), user, "right"));
  const bool through = !*f.errLine;
  EXPECT_EQ(sub.waitFor(kBase + "status", "online", seconds(through ? 60 : 2)) != nullptr, through);
  for (const Reading &r : kReadings)
    EXPECT_EQ(sub.waitFor(configTopic(r.key), nullptr, seconds(through ? 10 : 0)) != nullptr,
              through)
        << r.key;
  EXPECT_EQ(rig.reading("ID"), "wizard3");
}

INSTANTIATE_TEST_SUITE_P(
    Broker, Faults,
    ::testing::Values(BrokerFault{"DownAtStart", false, false, "", ""},
                      BrokerFault{"Restarted", true, true, "", ""},
                      BrokerFault{"CredentialsTaken", true, false, "right", ""},
                      BrokerFault{"CredentialsFromTheSettingsFile", true, false, "right", "", true},
                      BrokerFault{"CredentialsRefused", true, false, "wrong",
                                  "refused the connection (Connection Refused: not authorised.); "
                                  "retrying once a minute\n"}),
    [](const auto &i) { return std::string(i.param.name); });

// ---- A hostile broker: memory, xPL answers and the retry delay hold ---------

struct Hostile {
  const char *name;
  testsupport::HostileBroker::Misdeed misdeed;
  const char *line;  // the daemon's complaint
};
class HostileBrokers : public ::testing::TestWithParam<Hostile> {};
void PrintTo(const Hostile &h, std::ostream *os) {
  *os << h.name;
}

TEST_P(HostileBrokers, AreDroppedAndTriedEverLessOftenWhileXplIsServed) {
  const Hostile &h = GetParam();
  e2e::Rig rig;
  testsupport::HostileBroker broker;
  ASSERT_TRUE(rig.startNetworkAndStation());
  ASSERT_TRUE(broker.start(h.misdeed, seconds(120)));
  ASSERT_TRUE(rig.startDaemon(true, {"-d", "--mqtt", broker.url()}));
  const pid_t pid = rig.daemon.proc().pid();
  const long resting = e2e::statusKb(pid, "VmRSS");
  EXPECT_TRUE(rig.daemon.waitErr(h.line, seconds(30)));
  // Three connections, each dropped, and each wait twice the one before.
  EXPECT_TRUE(rig.daemon.waitErr("; reconnecting in 4 s\n", seconds(30)));
  EXPECT_EQ(broker.connections(), 3);
  EXPECT_EQ(rig.daemon.countErr("; reconnecting in 1 s\n"), 1);
  EXPECT_EQ(rig.reading("ID"), "wizard3");
  // A broker's bytes never pile up in the daemon (the fault took hundreds of MB).
  EXPECT_LT(e2e::statusKb(pid, "VmHWM") - resting, 16 * 1024) << "kB above " << resting;
}

INSTANTIATE_TEST_SUITE_P(
    Broker, HostileBrokers,
    ::testing::Values(Hostile{"Qos2Flood", testsupport::HostileBroker::QOS2_FLOOD,
                              " sent a PUBLISH; dropped\n"},
                      Hostile{"HugePacket", testsupport::HostileBroker::HUGE_PACKET,
                              " sent a packet of 268435460 bytes; dropped\n"},
                      Hostile{"AcceptThenHangUp", testsupport::HostileBroker::HANG_UP, " lost ("}),
    [](const auto &i) { return std::string(i.param.name); });

}  // namespace
