// upload_wow.cpp - the Met Office's Weather Observations Website: the
// Weather Underground family's fields under WOW's own names for the site
// and its key, past samples included.
#include "upload.h"

namespace {

const setting_key KEYS[] = {
    {"site_id", SETTING_TEXT, "the site ID as a string", 0, 0, nullptr, 0},
    {"key", SETTING_TEXT, "the site authentication key as a string", 0, 0, nullptr, SETTING_SECRET},
};

const upload_service SERVICE = {
    "wow",  // [upload.wow]
    KEYS,
    sizeof KEYS / sizeof KEYS[0],
    "https://wow.metoffice.gov.uk/automaticreading",  // the endpoint's default
    300,                                              // interval
    60,                                               // floor
    true,                                             // takes past observations
};

const wu_names NAMES = {"site_id", "siteid", "siteAuthenticationKey", nullptr, nullptr};

std::unique_ptr<Output> make(const output_context &context) {
  if (!uploadWanted(&SERVICE, context)) return nullptr;
  return std::make_unique<WuUpload>(&SERVICE, &NAMES, context);
}

}  // namespace

extern const output_kind WOW_OUTPUT = {"wow", uploadTable(&SERVICE), nullptr, make};
