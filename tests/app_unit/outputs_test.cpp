// The outputs against the real xPL layer on a test interface, a real
// broker and a real database, in a private network namespace: each sends
// only what changed, and everything afresh when the station comes back;
// quality control keeps a failed value, and what is worked out from it,
// out of every one of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rrd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "broker.h"
#include "files.h"
#include "helpers.h"
#include "mqtt.h"
#include "output.h"
#include "readings.h"
#include "stderr_capture.h"
#include "xplnet_support.h"

namespace {

using std::chrono::seconds;
using testsupport::MqttMsg;

const std::string ALL =
    "outside_temperature inside_temperature outside_humidity inside_humidity barometer "
    "wind_speed wind_direction rain_total dew_point wind_chill";

weather_sample sampleWith(int outside, bool rainKnown) {
  const davis_sample raw = {700, static_cast<int16_t>(outside), 10, 225, 29921, 45, 87, 1234, 550,
                            700};
  const davis_cal cal = {0, 0, 0, 100, 0};
  weather_sample s = sampleOf(1000, &raw, &cal);
  s.known[Q_RAIN_TOTAL] = rainKnown;
  return s;
}

// The xPL layer with a configured service (its instance names the MQTT
// topics), a broker and its subscriber, and the registry's outputs.
class Outputs : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(xplnet::addInterface(&why)) << why;
    ASSERT_TRUE(hub_.bound());
    xPL_setBroadcastInterface(const_cast<String>(xplnet::kInterface));
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    const std::string stored = dir_.path() + "/kivamet.xml";
    ASSERT_TRUE(testsupport::writeFile(stored, "[quorvel-davis]\nreconf=newconf\nnewconf=unit\n"));
    service_ =
        xPL_createConfigurableService(const_cast<String>("quorvel"), const_cast<String>("davis"),
                                      const_cast<String>(stored.c_str()));
    ASSERT_TRUE(xPL_isServiceConfigured(service_));
    xPL_setServiceEnabled(service_, TRUE);
    ASSERT_TRUE(broker_.start());
    ASSERT_TRUE(sub_.connect(broker_.port()));
    setting_value url;
    url.text = broker_.url();
    settings_.set("mqtt", "url", url);
    databaseDir_ = dir_.path();
    output_context context;
    context.service = service_;
    context.livePeriod = 2;
    context.stationModel = [] { return "wizard3"; };
    context.databaseDir = [] { return databaseDir_.c_str(); };
    context.settings = &settings_;
    ASSERT_TRUE(outputsStart(context, &why)) << why;
    ASSERT_TRUE(xplnet::loopUntil(mqttConnected, std::chrono::milliseconds(10000)));
    // The first mark ends what the connection itself published.
    std::string xpl, mqtt;
    ASSERT_TRUE(mark(&xpl, &mqtt));
  }
  void TearDown() override {
    outputsStop();
    xPL_shutdown();
  }

  // Sends a mark both ways: what came before it is the step's, as the
  // devices of the triggers and the subtopics published.
  bool mark(std::string *xpl, std::string *mqtt) {
    xpl->clear();
    mqtt->clear();
    const std::string markText = std::to_string(++marks_);
    mqttPublish("mark", markText);
    xPL_MessagePtr m = xPL_createBroadcastMessage(service_, xPL_MESSAGE_TRIGGER);
    xPL_setSchema(m, const_cast<String>("sensor"), const_cast<String>("basic"));
    xPL_addMessageNamedValue(m, const_cast<String>("device"), const_cast<String>("mark"));
    xPL_sendServiceMessage(service_, m);
    xPL_releaseMessage(m);
    std::string text;
    while (hub_.receive(&text, std::chrono::milliseconds(5000))) {
      if (text.find("xpl-trig") != 0) continue;  // heartbeats
      const std::string device = xplnet::itemOf(text, "device");
      if (device == "mark") break;
      *xpl += (xpl->empty() ? "" : " ") + device;
    }
    const MqttMsg *end = nullptr;
    for (int turn = 0; end == nullptr && turn < 100; turn++) {
      xPL_processMessages(0);
      end = sub_.waitFor("kivamet/unit/mark", markText.c_str(), std::chrono::milliseconds(100),
                         from_);
    }
    if (end == nullptr) return false;
    for (const MqttMsg *msg = &sub_.messages()[from_]; msg != end; msg++)
      if (msg->topic.compare(0, 13, "kivamet/unit/") == 0)
        *mqtt += (mqtt->empty() ? "" : " ") + msg->topic.substr(13);
    from_ = static_cast<size_t>(end - sub_.messages().data()) + 1;
    return true;
  }

  static std::string databaseDir_;
  testsupport::ScratchDir dir_{"outputs"};
  xplnet::UdpPeer hub_{XPL_PORT};
  xPL_ServicePtr service_ = nullptr;
  testsupport::Broker broker_;
  testsupport::MqttSub sub_;
  Settings settings_;
  int marks_ = 0;
  size_t from_ = 0;
};
std::string Outputs::databaseDir_;

TEST_F(Outputs, EachSendsOnlyWhatChanged) {
  struct Case {
    const char *what;
    station_state state;
    int outside;
    bool rainKnown;
    std::string xpl, mqtt;  // the devices of the triggers, the subtopics published
  };
  const Case cases[] = {
      {"online with a first sample: everything", station_state::ONLINE, 723, true, "station " + ALL,
       "station " + ALL + " state"},
      {"the same again: nothing", station_state::ONLINE, 723, true, "", ""},
      {"one value changed: it alone, and the whole reading", station_state::ONLINE, 800, true,
       "outside_temperature", "outside_temperature state"},
      {"a value not known: not sent", station_state::ONLINE, 800, false, "", ""},
      {"offline: the state, and no values", station_state::OFFLINE, 900, true, "station",
       "station"},
      {"back online: everything afresh", station_state::ONLINE, 800, true, "station " + ALL,
       "station " + ALL + " state"},
  };
  std::string xpl, mqtt;
  for (const Case &c : cases) {
    outputsStation(c.state);
    if (c.state == station_state::ONLINE) outputsLive(sampleWith(c.outside, c.rainKnown));
    ASSERT_TRUE(mark(&xpl, &mqtt)) << c.what;
    EXPECT_EQ(xpl, c.xpl) << c.what;
    EXPECT_EQ(mqtt, c.mqtt) << c.what;
  }
}

// The database's last values by data source.
std::map<std::string, std::string> lastValues(const std::string &dir) {
  std::map<std::string, std::string> last;
  const std::string path = dir + "/weather.rrd";
  time_t when = 0;
  unsigned long count = 0;
  char **names = nullptr, **values = nullptr;
  if (rrd_lastupdate_r(path.c_str(), &when, &count, &names, &values) != 0) return last;
  for (unsigned long i = 0; i < count; i++) {
    last[names[i]] = values[i];
    rrd_freemem(names[i]);
    rrd_freemem(values[i]);
  }
  rrd_freemem(names);
  rrd_freemem(values);
  return last;
}

// Each row is a run of readings of one quantity, the others steady, taken
// as the daemon takes them (readingsTake) and handed to every output as
// logged and live. A reading marked U must be unknown in the database and
// sent neither as a trigger nor over MQTT, and so must what is worked out
// from it; a reading marked + is taken.
TEST_F(Outputs, QualityControlKeepsFailedValuesFromEveryOutput) {
  struct Case {
    const char *what;
    quantity_field field;
    std::vector<int> values;  // station units
    const char *verdicts;     // + taken, U unknown, one for each value
    const char *settings;     // [qc] and [qc.step] over the defaults
    const char *line;         // the -d line of the first value held or refused
  };
  // clang-format off
  const Case cases[] = {
      {"outside temperature above its limit", Q_OUTSIDE_TEMP, {1250, 1301, 1190}, "+U+", "",
       "qc: outside_temperature 130.1 F outside the limits -40 to 130 F"},
      {"inside temperature below its limit", Q_INSIDE_TEMP, {700, -1, 0}, "+U+", "",
       "qc: inside_temperature -0.1 F outside the limits 0 to 130 F"},
      {"a dead humidity sensor reads 0 %", Q_OUTSIDE_HUMIDITY, {60, 0, 0, 61}, "+UU+", "",
       "qc: outside_humidity 0 % outside the limits 1 to 100 %"},
      {"barometer below 26.00 inHg", Q_BAROMETER, {26050, 25999, 26000}, "+U+", "",
       "qc: barometer 25.999 inHg outside the limits 26 to 32.5 inHg"},
      {"wind speed above 120 mph", Q_WIND_SPEED, {100, 121, 120}, "+U+", "",
       "qc: wind_speed 121 mph outside the limits 0 to 120 mph"},
      {"a spike: held, then the old level", Q_OUTSIDE_TEMP, {700, 801, 705, 706}, "+U++", "",
       "qc: outside_temperature 80.1 F held: more than 10 F from 70.0 F"},
      {"a real step: held, then the new level", Q_OUTSIDE_TEMP, {700, 850, 855, 860}, "+U++", "",
       "qc: outside_temperature 85.0 F held: more than 10 F from 70.0 F"},
      {"steps of exactly the limit are taken", Q_OUTSIDE_TEMP, {700, 800, 900}, "+++", "", ""},
      {"two spikes in a row: each held", Q_OUTSIDE_HUMIDITY, {50, 90, 10, 52}, "+UU+", "",
       "qc: outside_humidity 90 % held: more than 30 % from 50 %"},
      {"barometer step of 0.10 inHg", Q_BAROMETER, {29900, 30001, 29950}, "+U+", "",
       "qc: barometer 30.001 inHg held: more than 0.1 inHg from 29.900 inHg"},
      {"a gust of more than 50 mph", Q_WIND_SPEED, {5, 56, 10}, "+U+", "",
       "qc: wind_speed 56 mph held: more than 50 mph from 5 mph"},
      {"limits and steps from the settings file", Q_OUTSIDE_TEMP, {700, 1001, 760, 821}, "+U+U",
       "[qc]\noutside_temperature = [-40, 100]\n[qc.step]\noutside_temperature = 6",
       "qc: outside_temperature 100.1 F outside the limits -40 to 100 F"},
      {"quality control turned off", Q_OUTSIDE_TEMP, {700, 1150, 700}, "+++",
       "[qc]\nenabled = false", ""},
  };
  // clang-format on
  // What is worked out from each quantity with rules.
  const std::map<quantity_field, std::string> derivedFrom = {
      {Q_OUTSIDE_TEMP, "dew_point wind_chill heat_index apparent_temperature"},
      {Q_OUTSIDE_HUMIDITY, "dew_point heat_index apparent_temperature"},
      {Q_WIND_SPEED, "wind_chill apparent_temperature"}};
  static int debugOn = 1;
  dbgUseFlag(&debugOn);
  const davis_cal cal = {0, 0, 0, 100, 0};
  const settings_tables tables = {&QC_SETTINGS, &QC_STEP_SETTINGS};
  std::string xpl, mqtt;
  time_t now = time(nullptr);
  for (const Case &c : cases) {
    Settings qc;
    std::string why;
    ASSERT_TRUE(settingsParse(c.settings, "qc.toml", tables, &qc, &why)) << why;
    readingsStart(qc, [] { return databaseDir_.c_str(); });
    // Each row starts with everything sent afresh.
    outputsStation(station_state::OFFLINE);
    ASSERT_TRUE(mark(&xpl, &mqtt)) << c.what;
    const quantity *q = quantityOfField(c.field);
    std::string lines;
    for (size_t i = 0; i < c.values.size(); i++) {
      const std::string step = std::string(c.what) + ", reading " + std::to_string(i + 1);
      const davis_sample raw = {700, 700, 10, 225, 29921, 45, 60, 1234, 550, 700};
      weather_sample s = sampleOf(now += 60, &raw, &cal);
      sampleSet(&s, c.field, c.values[i]);
      testsupport::StderrCapture err;
      readingsTake(&s);
      const std::string said = err.text();
      EXPECT_EQ(said.empty(), c.verdicts[i] == '+') << step << ": " << said;
      if (lines.empty()) lines = said;
      outputsLogged(&s, 1);
      outputsStation(station_state::ONLINE);
      outputsLive(s);
      ASSERT_TRUE(mark(&xpl, &mqtt)) << step;
      const bool taken = c.verdicts[i] == '+';
      auto has = [](const std::string &list, const char *key) {
        return (" " + list + " ").find(std::string(" ") + key + " ") != std::string::npos;
      };
      std::map<std::string, std::string> db = lastValues(databaseDir_);
      EXPECT_EQ(has(mqtt, q->key), taken) << step;
      EXPECT_EQ(has(xpl, q->key), taken) << step;
      EXPECT_EQ(db[q->ds] != "U", taken) << step;
      std::istringstream derived(derivedFrom.count(c.field) ? derivedFrom.at(c.field) : "");
      for (std::string d; !taken && derived >> d;) {
        EXPECT_FALSE(has(mqtt, d.c_str()) || has(xpl, d.c_str())) << step << ": " << d;
        const char *ds = quantityFind(d.c_str())->ds;
        if (ds != nullptr) {
          EXPECT_EQ(db[ds], "U") << step << ": " << d;
        }
      }
    }
    EXPECT_EQ(lines, *c.line ? std::string(c.line) + "\n" : "") << c.what;
  }
  dbgUseFlag(nullptr);
}

// A minute kept while another program holds the file's lock, then a
// catch-up's past minutes around it: all go in, in time order, once the
// lock is gone.
TEST_F(Outputs, KeptAndCaughtUpMinutesGoInInOrder) {
  const time_t t = (time(nullptr) / 60 + 10) * 60;
  auto at = [](time_t when) {
    weather_sample s = sampleWith(700, true);
    s.time = when;
    return s;
  };
  const weather_sample first = at(t);
  ASSERT_TRUE(outputsLogged(&first, 1));
  const std::string db = dir_.path() + "/weather.rrd";
  ASSERT_EQ(rrd_last_r(db.c_str()), t);

  // A reader in another process, as the weather page is.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    const int fd = open(db.c_str(), O_RDONLY);
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    const char c = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  const weather_sample kept = at(t + 120);
  EXPECT_TRUE(outputsLogged(&kept, 1));
  const weather_sample past[] = {at(t + 60), at(t + 180)};
  EXPECT_TRUE(outputsLogged(past, 2));
  EXPECT_EQ(rrd_last_r(db.c_str()), t) << "nothing goes in while the file is locked";
  kill(reader, SIGKILL);
  waitpid(reader, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  const weather_sample next = at(t + 240);
  EXPECT_TRUE(outputsLogged(&next, 1));
  EXPECT_EQ(rrd_last_r(db.c_str()), t + 240) << "the kept and past minutes went in, in order";
}

}  // namespace
