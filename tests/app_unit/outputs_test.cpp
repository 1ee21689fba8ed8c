// The xPL and MQTT outputs against the real xPL layer on a test interface
// and a real broker, in a private network namespace: each sends only what
// changed, and everything afresh when the station comes back.
#include <gtest/gtest.h>

#include "broker.h"
#include "files.h"
#include "mqtt.h"
#include "output.h"
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

TEST(Outputs, EachSendsOnlyWhatChanged) {
  std::string why;
  ASSERT_TRUE(xplnet::addInterface(&why)) << why;
  xplnet::UdpPeer hub(XPL_PORT);
  ASSERT_TRUE(hub.bound());
  xPL_setBroadcastInterface(const_cast<String>(xplnet::kInterface));
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  // A stored configuration: the service has its instance, as MQTT's topics need.
  testsupport::ScratchDir dir("outputs");
  const std::string stored = dir.path() + "/kivamet.xml";
  ASSERT_TRUE(testsupport::writeFile(stored, "[quorvel-davis]\nreconf=newconf\nnewconf=unit\n"));
  xPL_ServicePtr service =
      xPL_createConfigurableService(const_cast<String>("quorvel"), const_cast<String>("davis"),
                                    const_cast<String>(stored.c_str()));
  ASSERT_TRUE(xPL_isServiceConfigured(service));
  xPL_setServiceEnabled(service, TRUE);

  testsupport::Broker broker;
  testsupport::MqttSub sub;
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(sub.connect(broker.port()));
  Settings settings;
  setting_value url;
  url.text = broker.url();
  settings.set("mqtt", "url", url);
  output_context context;
  context.service = service;
  context.livePeriod = 2;
  context.stationModel = [] { return "wizard3"; };
  context.settings = &settings;
  ASSERT_TRUE(outputsStart(context, &why)) << why;
  ASSERT_TRUE(xplnet::loopUntil(mqttConnected, std::chrono::milliseconds(10000)));

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
  // A mark after each step: what came before it is the step's. The first
  // mark ends what the connection itself published.
  int marks = 0;
  size_t from = 0;
  auto mark = [&](std::string *xpl, std::string *mqtt) {
    const std::string markText = std::to_string(++marks);
    mqttPublish("mark", markText);
    xPL_MessagePtr m = xPL_createBroadcastMessage(service, xPL_MESSAGE_TRIGGER);
    xPL_setSchema(m, const_cast<String>("sensor"), const_cast<String>("basic"));
    xPL_addMessageNamedValue(m, const_cast<String>("device"), const_cast<String>("mark"));
    xPL_sendServiceMessage(service, m);
    xPL_releaseMessage(m);
    std::string text;
    while (hub.receive(&text, std::chrono::milliseconds(5000))) {
      if (text.find("xpl-trig") != 0) continue;  // heartbeats
      const std::string device = xplnet::itemOf(text, "device");
      if (device == "mark") break;
      *xpl += (xpl->empty() ? "" : " ") + device;
    }
    const MqttMsg *end = nullptr;
    for (int turn = 0; end == nullptr && turn < 100; turn++) {
      xPL_processMessages(0);
      end =
          sub.waitFor("kivamet/unit/mark", markText.c_str(), std::chrono::milliseconds(100), from);
    }
    if (end == nullptr) return false;
    for (const MqttMsg *msg = &sub.messages()[from]; msg != end; msg++)
      if (msg->topic.compare(0, 13, "kivamet/unit/") == 0)
        *mqtt += (mqtt->empty() ? "" : " ") + msg->topic.substr(13);
    from = static_cast<size_t>(end - sub.messages().data()) + 1;
    return true;
  };
  std::string xpl, mqtt;
  ASSERT_TRUE(mark(&xpl, &mqtt));
  for (const Case &c : cases) {
    outputsStation(c.state);
    if (c.state == station_state::ONLINE) outputsLive(sampleWith(c.outside, c.rainKnown));
    xpl.clear();
    mqtt.clear();
    ASSERT_TRUE(mark(&xpl, &mqtt)) << c.what;
    EXPECT_EQ(xpl, c.xpl) << c.what;
    EXPECT_EQ(mqtt, c.mqtt) << c.what;
  }
  outputsStop();
  xPL_shutdown();
}

}  // namespace
