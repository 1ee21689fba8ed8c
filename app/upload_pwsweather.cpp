// upload_pwsweather.cpp - PWSweather: the Weather Underground family's GET,
// past samples included.
#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"station", SETTING_TEXT, "the station ID as a string", 0, 0, nullptr, 0},
    {"key", SETTING_TEXT, "the station key as a string", 0, 0, nullptr, SETTING_SECRET},
};

const upload_service SERVICE = {
    "pwsweather",  // [upload.pwsweather]
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "https://pwsupdate.pwsweather.com/api/v1/submitwx",  // the endpoint's default
    300,                                                 // interval
    60,                                                  // floor
    true,                                                // takes past observations
};

const wu_names NAMES = {"station", "ID", "PASSWORD", nullptr, nullptr};

std::unique_ptr<Output> make(const output_context &context) {
  if (!uploadWanted(&SERVICE, context)) return nullptr;
  return std::make_unique<WuUpload>(&SERVICE, &NAMES, context);
}

}  // namespace

extern const output_kind PWSWEATHER_OUTPUT = {"pwsweather", uploadTable(&SERVICE), nullptr, make};
