#include "funcbroker.h"

#include <new>
#include <string>

#include "guarded.hpp"
#include "json_lines.hpp"
#include "paths.hpp"

struct funcbroker_client {
  std::string name;
};

namespace {
using velmer::platform::guarded;
using velmer::platform::kTraceMask;
}  // namespace

extern "C" int funcbroker_async_client_init(funcbroker_client** client, const char* name, int options) {
  if (client == nullptr) return 1;
  *client = nullptr;
  if (name == nullptr) return 1;
  constexpr const char* kTag = "funcbroker_async_client_init";
  return guarded(kTag, 1, [&] {
    *client = new funcbroker_client{name};
    trace_printf(4, kTraceMask, "[%s]: client %s connected, options %d", kTag, name, options);
    return 0;
  });
}

extern "C" int funcbroker_sync_function_execute(funcbroker_client* client, const char* function,
                                                const funcbroker_request* request, int timeoutMs) {
  if (client == nullptr || function == nullptr || request == nullptr) return 1;
  trace_printf(4, kTraceMask, "[%s]: client %s runs %s", __func__, client->name.c_str(), function);
  const nlohmann::ordered_json line = {{"function", function}, {"timeout", timeoutMs}};
  return velmer::platform::appendJsonLine(velmer::paths::kFuncBrokerLogFile, line, __func__) ? 0 : 1;
}

extern "C" void funcbroker_cli_destroy(funcbroker_client* client) { delete client; }
