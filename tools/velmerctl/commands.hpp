// The commands of velmerctl, each over the job manager's own methods and properties.
// Each returns velmerctl's exit status (reply_codes.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service.hpp"

namespace velmerctl {

// 255 and the empty text are what JobServUpdateJobInfo takes as "leave unchanged".
inline constexpr uint16_t kUnchanged = 255;

struct UpdateRequest {
  std::string jobID;
  uint16_t state = kUnchanged;
  uint16_t percent = kUnchanged;
  std::string status, message, messageID, messageArgs;
};

int showStatus(Service& service);
int listJobs(Service& service, std::optional<uint32_t> state, bool json);
int listQueues(Service& service, bool json);
int showObject(Service& service, const std::string& id);

int createJob(Service& service, const std::string& name, uint16_t type);
int updateJob(Service& service, const UpdateRequest& request);
int scheduleJobs(Service& service, const std::vector<std::string>& jobIDs, const std::string& start,
                 const std::string& until);
int deleteJobs(Service& service, const std::vector<std::string>& jobIDs, bool force);
int clearAll(Service& service, bool force);
int readKeyValue(Service& service, const std::string& jobID, const std::string& caller, const std::string& key);
int writeKeyValue(Service& service, const std::string& jobID, const std::string& caller, const std::string& key,
                  const std::string& value);

// The live view; watch.cpp.
int watchJobs(Service& service, const std::vector<std::string>& jobIDs);

}  // namespace velmerctl
