// A warmed-up message shape is parsed, answered and released without the
// general allocator: the store recycles records and strings by exact length.
// The xpl library's malloc, calloc and realloc are wrapped at link time
// (-Wl,--wrap), which also works under AddressSanitizer.
#include <gtest/gtest.h>
#include <stddef.h>

#include "xplmsg_support.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);

static bool counting = false;
static int allocatorCalls = 0;

void *__wrap_malloc(size_t size) {
  if (counting) allocatorCalls++;
  return __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size) {
  if (counting) allocatorCalls++;
  return __real_calloc(count, size);
}
void *__wrap_realloc(void *ptr, size_t size) {
  if (counting) allocatorCalls++;
  return __real_realloc(ptr, size);
}
}

using namespace xplmsg;

namespace {

const char *const kRequest =
    "xpl-cmnd\n{\nhop=1\nsource=quorvel-ctl.desk\ntarget=quorvel-davis.station1\n}\n"
    "sensor.request\n{\nrequest=current\ndevice=BARDTA\n}\n";

// One round of the daemon's steady work, minus the socket: parse a request,
// read it, build and format the answer, release both.
bool handleOnce(xPL_ServicePtr service) {
  xPL_MessagePtr request = parseMessage(kRequest);
  if (request == nullptr) return false;
  String device = xPL_getMessageNamedValue(request, S("device"));
  xPL_MessagePtr reply =
      xPL_createTargetedMessage(service, xPL_MESSAGE_STATUS, xPL_getSourceVendor(request),
                                xPL_getSourceDeviceID(request), xPL_getSourceInstanceID(request));
  xPL_setSchema(reply, S("sensor"), S("basic"));
  xPL_setMessageNamedValue(reply, S("device"), device);
  xPL_setMessageNamedValue(reply, S("current"), S("29.921"));
  bool formatted = xPL_formatMessage(reply) != nullptr;
  xPL_releaseMessage(reply);
  xPL_releaseMessage(request);
  return formatted;
}

TEST(SteadyState, ParseAnswerReleaseTakesNothingFromTheAllocator) {
  FakeService service("quorvel", "davis", "station1");
  for (int i = 0; i < 3; i++) ASSERT_TRUE(handleOnce(service.ptr()));

  bool allOk = true;
  allocatorCalls = 0;
  counting = true;
  for (int i = 0; i < 200; i++) allOk = handleOnce(service.ptr()) && allOk;
  counting = false;
  EXPECT_TRUE(allOk);
  EXPECT_EQ(0, allocatorCalls);
}

TEST(SteadyState, CounterSeesTheStoreGrow) {
  // Guards the test above against a wrap that silently counts nothing.
  xPL_FreeStr(xPL_StrDup("x"));  // the store's own tables are made on first use
  allocatorCalls = 0;
  counting = true;
  String fresh = xPL_StrAlloc(4000);
  counting = false;
  xPL_FreeStr(fresh);
  EXPECT_EQ(1, allocatorCalls);
}

}  // namespace
