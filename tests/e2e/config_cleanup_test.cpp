// The pending-configuration clean-up through JobServCleanupPersistentData, against fake
// peers on the private bus and fake tool scripts under the sandbox root.
#include <filesystem>
#include <tuple>
#include <string>
#include <vector>

#include "fake_tool.hpp"
#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

// Quotes, a semicolon, a command substitution and a space: text a shell would act on.
const std::string kHostileText = R"(it's "x"; touch pwned $(touch pwned) `touch pwned`)";

class PendingConfigCleanup : public JobTest {
 protected:
  uint16_t cleanUp(const std::string& name, const std::string& jobID, uint32_t type, const std::string& status = "") {
    return client().callMain<uint16_t>("JobServCleanupPersistentData", name, jobID, type, status, uint32_t{2});
  }
};

TEST_F(PendingConfigCleanup, EachKindOfJobReachesItsOwnPeerAndNoAnswerOfThePeersFailsTheCleanup) {
  // The mapper lists paths in order; the match comes last, after a device no object
  // answers for, a key that is no text and another slot.
  const std::string controller = "RAID.Integrated.1-1";
  const std::string drive = "Disk.Bay.0:Enclosure.Internal.0-1:RAID.Integrated.1-1";
  peers().addDevice({"/inventory/nic/a", kNicSlotInterface, "Key", "NIC.Slot.1-1-1", false});
  peers().addDevice({"/inventory/nic/b", kNicSlotInterface, "Key", int32_t{7}});
  peers().addDevice({"/inventory/nic/c", kNicSlotInterface, "Key", "NIC.Slot.2-1-1"});
  peers().addDevice({"/inventory/nic/d", kNicSlotInterface, "Key", "NIC.Slot.1-1-1"});
  peers().addDevice({"/inventory/fc", kFcSlotInterface, "Key", "FC.Slot.2-1"});
  peers().addDevice({"/inventory/ib", kIbSlotInterface, "Key", "InfiniBand.Slot.3-1"});
  peers().addDevice({"/inventory/storage/controller", kControllerInterface, "Fqdd", controller});
  peers().addDevice({"/inventory/storage/drive", kDriveInterface, "Fqdd", drive});
  peers().start();

  // Each type asks the mapper for the devices of its own interface and cancels only
  // those; the type's high bits do not change the kind of job.
  for (auto [type, interface, ownFqdd, otherFqdd] :
       {std::tuple{62u, kNicSlotInterface, "NIC.Slot.1-1-1", "FC.Slot.2-1"},
        std::tuple{63u, kFcSlotInterface, "FC.Slot.2-1", "InfiniBand.Slot.3-1"},
        std::tuple{64u, kIbSlotInterface, "InfiniBand.Slot.3-1", "NIC.Slot.1-1-1"},
        std::tuple{0x1003Eu, kNicSlotInterface, "NIC.Slot.1-1-1", ""}}) {
    peers().forgetCalls();
    EXPECT_EQ(cleanUp(std::string("Job:") + otherFqdd, "JID_1", type), 0);
    EXPECT_EQ(cleanUp(std::string("Job:") + ownFqdd, "JID_000000000101", type), 0);
    EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{ownFqdd, "JID_000000000101"}})) << type;
    EXPECT_EQ(peers().calls("GetSubTree"), CallList(2, {"/", "0", interface})) << type;
  }

  // A name that does not end in a colon and the FQDD cancels nothing (the matching rule
  // is unit-tested); an adapter that is not in the inventory at all is no failure either.
  peers().forgetCalls();
  for (const std::string name : {"Configure NIC.Slot.1-1-1", "", "Configure:NIC.Slot.9-9-9"})
    EXPECT_EQ(cleanUp(name, "JID_1", 62), 0) << name;
  EXPECT_TRUE(peers().calls("SetConfigCancel").empty());

  // Storage jobs send the drive or the controller.
  peers().forgetCalls();
  EXPECT_EQ(cleanUp("Create volume:" + drive, "JID_1", 60), 0);
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_2", 75), 0);
  EXPECT_EQ(cleanUp("Reset:RAID.Slot.4-1", "JID_3", 60), 0);
  EXPECT_EQ(peers().calls("ConfigCancel"), (CallList{{"JID_1", drive}, {"JID_2", controller}}));
  EXPECT_EQ(peers().calls("GetSubTree").size(), 6u);  // both interfaces asked for every job

  // The mapping of the answer is unit-tested; here: a refusal or an error fails nothing.
  peers().answer(&PeerAnswers::configCancelP, 0x8000000000000007ULL);
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_1", 60), 0);
  peers().failWith("ConfigCancel", "com.zorvex.kelvo.storage.Error.Busy");
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_1", 60), 0);

  // BIOS jobs reach the configuration manager; whatever it answers, the job stays deletable.
  peers().forgetCalls();
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_1", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{"BIOS.Setup.1-1", "JID_1"}}));
  peers().failWith("SetConfigCancel", "com.zorvex.kelvo.system.Error.Busy");
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_2", 61), 0);
  // No BIOS FQDD: nothing to cancel.
  peers().answer(&PeerAnswers::biosFqdd, "");
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_3", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel").size(), 2u);

  // The BIOS time job passes the provisioning status on in sixteen bits.
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 0);
  EXPECT_EQ(peers().calls("cancelSetBIOSTime"), (CallList{{""}}));
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 9);
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 9);
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 0x10003);
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 3);

  // The controller firmware marker clears an active update flag (the state before and
  // after), whatever the type, and asks no peer.
  peers().forgetCalls();
  for (auto [name, before, after] : {std::tuple{"Update kelvo WITH tamber firmware", 33, 30},
                                     std::tuple{"Update Kelvo firmware", 33, 33}, std::tuple{"Kelvo with Tamber", 0, 0}}) {
    ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t(before)), 0);
    EXPECT_EQ(cleanUp(name, "JID_1", 5), 0);
    EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), after) << name;
  }
  EXPECT_TRUE(peers().methodsCalled().empty());
}

TEST_F(PendingConfigCleanup, ToolsGetTheirArgumentsVerbatimAndAttributeJobsCancelTheirOwnSet) {
  // The system erase tool is waited for: the record is complete when the reply arrives.
  FakeTool erase(root(), "/bin/syserasectl");
  const std::string jobID = "JID_1" + kHostileText;
  EXPECT_EQ(cleanUp("Erase", jobID, 200), 0);
  EXPECT_EQ(erase.calls(), (std::vector<ToolCall>{{"delete", "job=" + jobID}}));
  erase.exitWith(3);
  EXPECT_EQ(cleanUp("Erase", "JID_2", 200), 0);
  std::filesystem::remove(erase.path());
  EXPECT_EQ(cleanUp("Erase", "JID_3", 200), 0);

  // The backup and restore tool starts in the background.
  FakeTool backup(root(), "/bin/bkrestctl");
  const std::string image = "image " + kHostileText;
  EXPECT_EQ(cleanUp("Backup", jobID, 165, image), 0);
  ASSERT_TRUE(backup.waitForCalls(1, 5s));
  EXPECT_EQ(backup.calls().back(), (ToolCall{"cleanup", "-jobid=" + jobID, "-imageName=" + image}));
  EXPECT_FALSE(std::filesystem::exists(root() / "pwned"));
  EXPECT_FALSE(std::filesystem::exists(erase.path().parent_path() / "pwned"));

  // The staged attributes of each kind are cancelled by the platform, which only logs it.
  for (auto [type, fqdd] : {std::pair{65u, "Kelvo.Embedded.1"}, std::pair{66u, "System.Embedded.1"},
                            std::pair{160u, "Tamber.Embedded.1"}}) {
    const size_t mark = readLog().size();
    EXPECT_EQ(cleanUp("Attributes", "JID_1", type), 0);
    EXPECT_NE(readLog(mark).find(std::string("cancel staged attributes of ") + fqdd), std::string::npos) << type;
  }
}

}  // namespace
}  // namespace velmer::e2e
