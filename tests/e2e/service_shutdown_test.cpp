// How the process ends on SIGTERM and SIGINT, and that a stopped daemon comes back on
// the same root.
#include <csignal>
#include <string>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

// Positions of `lines` in `log`, each searched after the one before; npos where missing.
std::vector<size_t> positionsInOrder(const std::string& log, const std::vector<std::string>& lines) {
  std::vector<size_t> positions;
  size_t from = 0;
  for (const auto& line : lines) {
    size_t at = log.find(line, from);
    positions.push_back(at);
    if (at != std::string::npos) from = at + line.size();
  }
  return positions;
}

class ServiceShutdown : public DaemonTest {
 protected:
  // Sends `signalNumber` and checks that the process ended with status 0 within the
  // stop time-out after logging the shutdown steps in order.
  void expectOrderlyExitOn(int signalNumber, const std::string& signalName) {
    size_t logStart = readLog().size();
    auto started = Clock::now();
    daemon().process().signal(signalNumber);
    auto status = daemon().process().waitForExit(kStopTimeout);
    ASSERT_TRUE(status.has_value()) << "still running " << kStopTimeout.count() << " s after " << signalName;
    EXPECT_EQ(*status, 0);
    EXPECT_LT(Clock::now() - started, kStopTimeout);

    std::vector<std::string> steps = {"process received signal: " + signalName, "[stopThread]: Thread joined",
                                      "Deallocate context memory done", "Exiting job manager service main"};
    for (size_t position : positionsInOrder(readLog(logStart), steps))
      EXPECT_NE(position, std::string::npos) << "shutdown steps missing or out of order:\n" << readLog(logStart);
    EXPECT_EQ(client().nameOwner(kServiceName), "");
  }
};

TEST_F(ServiceShutdown, SigtermEndsTheProcessWithStatusZeroAfterTheShutdownSteps) {
  expectOrderlyExitOn(SIGTERM, "SIGTERM");
}

TEST_F(ServiceShutdown, SigintEndsTheProcessTheSameWayAndIsNamedInTheLog) {
  expectOrderlyExitOn(SIGINT, "SIGINT");
}

// The backup thread serves its buffer once its start-up sequence is over; stopping it
// then must not wait for anything.
TEST_F(ServiceShutdown, SigtermAfterTheBackupThreadStartedServingAlsoEndsCleanly) {
  ASSERT_TRUE(waitForLog("[backupThread]: Acquired lock on JSbufData->mtxBuffer"));
  expectOrderlyExitOn(SIGTERM, "SIGTERM");
}

TEST_F(ServiceShutdown, RestartOnTheSameRootServesAgain) {
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{33}), 0);
  EXPECT_EQ(restartDaemon(), 0);
  EXPECT_EQ(client().serviceStatus(), "READY");
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  // kelvofwJobState is not persisted: the new process starts from 0.
  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 0);
}

}  // namespace
}  // namespace velmer::e2e
