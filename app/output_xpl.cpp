// output_xpl.cpp - live values as xPL sensor.basic triggers from the
// daemon's service: one for each value that changed, and one for the
// station going online or offline. On whenever live reads are.
#include <string>

#include "helpers.h"
#include "output.h"

namespace {

constexpr size_t VALUE_TEXT_SIZE = 32;

class XplOutput : public Output {
 public:
  XplOutput(xPL_ServicePtr service, unit_system units) : service_(service), units_(units) {}

  void station(station_state state) override {
    if (state != told_) {
      told_ = state;
      // Back online, every value goes out afresh.
      for (std::string &t : sent_) t.clear();
    }
    // The network hears of the station once its state is known.
    const char *text = state == station_state::ONLINE ? "online" : "offline";
    if (state == station_state::UNKNOWN || !ready() || sentStation_ == text) return;
    send("station", "generic", text, nullptr);
    sentStation_ = text;
  }

  void live(const weather_sample &sample) override {
    if (!ready()) return;
    for (int i = 0; i < QUANTITY_COUNT; i++) {
      const quantity &q = QUANTITIES[i];
      char text[VALUE_TEXT_SIZE];
      if (quantityText(text, sizeof text, &q, &sample, units_) < 0 || sent_[i] == text) continue;
      send(q.key, q.xplType, text, quantityForm(&q, units_)->xplUnit);
      sent_[i] = text;
    }
  }

 private:
  // Nothing goes out before the service is enabled; what could not go out
  // then goes with the next offer.
  bool ready() const { return service_ != nullptr && xPL_isServiceEnabled(service_); }

  void send(const char *device, const char *type, const char *current, const char *units) {
    xPL_MessagePtr m = xPL_createBroadcastMessage(service_, xPL_MESSAGE_TRIGGER);
    if (m == nullptr) return;
    xPL_setSchema(m, S("sensor"), S("basic"));
    xPL_addMessageNamedValue(m, S("device"), S(device));
    xPL_addMessageNamedValue(m, S("type"), S(type));
    xPL_addMessageNamedValue(m, S("current"), S(current));
    if (units != nullptr) xPL_addMessageNamedValue(m, S("units"), S(units));
    xPL_sendServiceMessage(service_, m);
    xPL_releaseMessage(m);
  }

  xPL_ServicePtr service_;
  unit_system units_;
  station_state told_ = station_state::UNKNOWN;
  std::string sentStation_;
  std::string sent_[QUANTITY_COUNT];
};

std::unique_ptr<Output> make(const output_context &context) {
  if (context.livePeriod <= 0) return nullptr;
  return std::make_unique<XplOutput>(context.service, context.units);
}

}  // namespace

extern const output_kind XPL_OUTPUT = {"xpl", nullptr, nullptr, make};
