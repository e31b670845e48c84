// velmerd-bench [--jobs N] [--rounds R] [--json]
// velmerd-bench --flash ... (see bench_flash.cpp)
//
// Measures round trips against a running job manager on the system bus that libsystemd
// finds (DBUS_SYSTEM_BUS_ADDRESS): fills the store to N jobs, then reports the median
// and 90th percentile of org.freedesktop.DBus.Peer.Ping, JobServUpdateJobInfo and
// JobServCreate (each creation is undone by deleting the new job before the next one,
// so every creation meets a store of N jobs), and of a Ping after the same pause that
// precedes each creation. Start the daemon on an empty store with trace level 2 for
// figures that match production. --json prints the same figures as one JSON object, to
// compare runs.
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_flash.hpp"

namespace {

constexpr const char* kService = "com.zorvex.kelvo.jobservice";
constexpr const char* kPath = "/xyz/openbmc_project/jobservice";
constexpr const char* kInterface = "com.zorvex.kelvo.jobservice.jobservicemain";

using Clock = std::chrono::steady_clock;

struct Figures {
  double median;
  double p90;
};

Figures summarise(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  return {micros[micros.size() / 2], micros[micros.size() * 9 / 10]};
}

double timeOnce(const std::function<void()>& call) {
  auto start = Clock::now();
  call();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Job IDs carry the second and two random digits, so a store cannot take more than a
// few dozen new jobs a second: a creation that found no free ID (code 1) is retried.
std::string createJob(sdbus::IProxy& service, const std::string& name) {
  std::tuple<uint16_t, std::string, uint16_t> reply;
  for (int attempt = 0; attempt < 100; ++attempt) {
    service.callMethod("JobServCreate").onInterface(kInterface).withArguments(name, uint16_t{5}).storeResultsTo(reply);
    if (std::get<2>(reply) != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (std::get<2>(reply) != 0) {
    std::fprintf(stderr, "velmerd-bench: JobServCreate refused with code %u\n", std::get<2>(reply));
    std::exit(1);
  }
  return std::get<1>(reply);
}

uint16_t jobCount(sdbus::IProxy& service) {
  return service.getProperty("jobInfoObjCount").onInterface(kInterface).get<uint16_t>();
}

// Deletes a job and waits until the backup thread has removed it.
void deleteJob(sdbus::IProxy& service, const std::string& jobID, uint16_t countAfter) {
  std::tuple<uint16_t, std::string, uint16_t> reply;
  service.callMethod("JobServDelete")
      .onInterface(kInterface)
      .withArguments(std::vector<std::string>{jobID}, uint16_t{1}, uint16_t{0})
      .storeResultsTo(reply);
  if (std::get<2>(reply) != 0) {
    std::fprintf(stderr, "velmerd-bench: JobServDelete of %s refused: (%u, %s, %u)\n", jobID.c_str(), std::get<0>(reply),
                 std::get<1>(reply).c_str(), std::get<2>(reply));
    std::exit(1);
  }
  auto deadline = Clock::now() + std::chrono::seconds(60);  // the backup thread may have many rewrites queued
  while (jobCount(service) != countAfter) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "velmerd-bench: job %s was not removed\n", jobID.c_str());
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void report(const char* what, const Figures& f, double ping) {
  std::printf("%-22s median %8.1f us  p90 %8.1f us  (%.2f x ping)\n", what, f.median, f.p90, f.median / ping);
}

void reportJson(const char* what, const Figures& f, const Figures& ping, bool last) {
  std::printf("  \"%s\": {\"median_us\": %.1f, \"p90_us\": %.1f, \"median_x_ping\": %.2f, \"p90_x_ping\": %.2f, "
              "\"p90_x_ping_p90\": %.2f}%s\n",
              what, f.median, f.p90, f.median / ping.median, f.p90 / ping.median, f.p90 / ping.p90, last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--flash") == 0) return velmer::bench::runFlashBench(argc - 2, argv + 2);
  int jobs = 255, rounds = 200;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) json = true;
    if (i + 1 < argc && std::strcmp(argv[i], "--jobs") == 0) jobs = std::atoi(argv[++i]);
    if (i + 1 < argc && std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[++i]);
  }
  auto connection = sdbus::createSystemBusConnection();
  auto service = sdbus::createProxy(*connection, kService, kPath);

  std::vector<std::string> ids;
  while (jobCount(*service) < jobs) ids.push_back(createJob(*service, "bench job " + std::to_string(ids.size())));
  if (ids.empty()) {
    std::fprintf(stderr, "velmerd-bench: start on an empty store\n");
    return 1;
  }

  // Creations first: the reports below keep the backup thread rewriting the file, which
  // would take a core from the creations while they are timed.
  //
  // Each creation comes after a pause (for a free ID), which lets the daemon, the bus and
  // this client fall idle; a Ping after the same pause is timed too, so that creations can
  // be compared with a Ping that meets the same idle processes.
  std::vector<double> ping, idlePing, update, create;
  const auto callPing = [&] { service->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer"); };
  for (int i = 0; i < rounds / 4; ++i) {
    std::string created;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    idlePing.push_back(timeOnce(callPing));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // one free ID in the second, mostly
    create.push_back(timeOnce([&] { created = createJob(*service, "bench extra"); }));
    deleteJob(*service, created, static_cast<uint16_t>(jobs));
  }
  for (int i = 0; i < rounds; ++i) {
    ping.push_back(timeOnce(callPing));
    const std::string& job = ids[static_cast<size_t>(i) % ids.size()];
    update.push_back(timeOnce([&] {
      uint16_t status = 0;
      service->callMethod("JobServUpdateJobInfo")
          .onInterface(kInterface)
          .withArguments(job, uint16_t{3}, static_cast<uint16_t>(i % 100), std::string("Running"), std::string(""),
                         std::string(""), std::string(""))
          .storeResultsTo(status);
    }));
  }
  const Figures pingFigures = summarise(ping), idlePingFigures = summarise(idlePing);
  const Figures createFigures = summarise(create);
  if (json) {
    std::printf("{\n  \"jobs\": %d,\n  \"rounds\": %d,\n", jobs, rounds);
    reportJson("Peer.Ping", pingFigures, pingFigures, false);
    reportJson("Peer.Ping after a pause", idlePingFigures, pingFigures, false);
    reportJson("JobServUpdateJobInfo", summarise(update), pingFigures, false);
    reportJson("JobServCreate", createFigures, pingFigures, false);
    reportJson("JobServCreate against Ping after a pause", createFigures, idlePingFigures, true);
    std::printf("}\n");
    return 0;
  }
  std::printf("store: %d jobs, %d rounds\n", jobs, rounds);
  report("Peer.Ping", pingFigures, pingFigures.median);
  report("Peer.Ping after a pause", idlePingFigures, pingFigures.median);
  report("JobServUpdateJobInfo", summarise(update), pingFigures.median);
  report("JobServCreate", createFigures, pingFigures.median);
  std::printf("%-22s %.2f x Ping after a pause (p90 %.2f x)\n", "", createFigures.median / idlePingFigures.median,
              createFigures.p90 / idlePingFigures.median);
  return 0;
}
