// The pending-configuration clean-up through JobServCleanupPersistentData, against fake
// peers on the private bus and fake tool scripts under the sandbox root.
#include <filesystem>
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

  bool logShows(const std::string& text, size_t from) { return readLog(from).find(text) != std::string::npos; }
};

TEST_F(PendingConfigCleanup, AdapterJobCancelsTheDeviceItsNameEndsWithInItsOwnInterfaceOnly) {
  // The mapper lists paths in order; the match comes last, so every earlier pair is tried.
  peers().addDevice({"/inventory/nic/a", kNicSlotInterface, "Key", "NIC.Slot.1-1-1", kInventoryService, false});
  peers().addDevice({"/inventory/nic/b", kNicSlotInterface, "Key", int32_t{7}});
  peers().addDevice({"/inventory/nic/c", kNicSlotInterface, "Key", "NIC.Slot.2-1-1"});
  peers().addDevice({"/inventory/nic/d", kNicSlotInterface, "Key", "NIC.Slot.1-1-1"});
  peers().addDevice({"/inventory/fc", kFcSlotInterface, "Key", "FC.Slot.2-1"});
  peers().addDevice({"/inventory/ib", kIbSlotInterface, "Key", "InfiniBand.Slot.3-1"});
  peers().start();

  EXPECT_EQ(cleanUp("Configure:nic.slot.1-1-1", "JID_000000000101", 62), 0);
  EXPECT_EQ(peers().calls("GetSubTree"), (CallList{{"/", "0", kNicSlotInterface}}));
  EXPECT_EQ(peers().calls("Get"), (CallList{{"/inventory/nic/b", kNicSlotInterface, "Key"},
                                            {"/inventory/nic/c", kNicSlotInterface, "Key"},
                                            {"/inventory/nic/d", kNicSlotInterface, "Key"}}));
  EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{"NIC.Slot.1-1-1", "JID_000000000101"}}));

  struct Case {
    uint32_t type;
    std::string ownFqdd;
    std::string otherFqdd;
  };
  // The type's high bits do not change the kind of job.
  for (const Case& c : {Case{62, "NIC.Slot.1-1-1", "FC.Slot.2-1"}, Case{63, "FC.Slot.2-1", "InfiniBand.Slot.3-1"},
                        Case{64, "InfiniBand.Slot.3-1", "NIC.Slot.1-1-1"}, Case{0x1003E, "NIC.Slot.1-1-1", ""}}) {
    SCOPED_TRACE(c.type);
    peers().forgetCalls();
    EXPECT_EQ(cleanUp("Job:" + c.otherFqdd, "JID_1", c.type), 0);
    EXPECT_TRUE(peers().calls("SetConfigCancel").empty());
    EXPECT_EQ(cleanUp("Job:" + c.ownFqdd, "JID_2", c.type), 0);
    EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{c.ownFqdd, "JID_2"}}));
  }

  // A name that does not end in a colon and the FQDD cancels nothing; an adapter that
  // is not in the inventory at all is no failure either.
  peers().forgetCalls();
  for (const std::string name : {"NIC.Slot.1-1-1", "nic.slot.1-1-1", "ConfigureNIC.Slot.1-1-1",
                                 "Configure:NIC.Slot.1-1-1:later", "Configure NIC.Slot.1-1-1", "",
                                 "Configure:NIC.Slot.9-9-9"})
    EXPECT_EQ(cleanUp(name, "JID_1", 62), 0) << name;
  EXPECT_TRUE(peers().calls("SetConfigCancel").empty());
}

TEST_F(PendingConfigCleanup, StorageJobSendsTheDriveOrControllerAndItsAnswersNeverFailTheCleanup) {
  const std::string controller = "RAID.Integrated.1-1";
  const std::string drive = "Disk.Bay.0:Enclosure.Internal.0-1:RAID.Integrated.1-1";
  peers().addDevice({"/inventory/storage/controller", kControllerInterface, "Fqdd", controller});
  peers().addDevice({"/inventory/storage/drive", kDriveInterface, "Fqdd", drive});
  peers().start();

  EXPECT_EQ(cleanUp("Create volume:" + drive, "JID_1", 60), 0);
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_2", 75), 0);
  EXPECT_EQ(cleanUp("Reset:RAID.Slot.4-1", "JID_3", 60), 0);
  EXPECT_EQ(peers().calls("ConfigCancel"), (CallList{{"JID_1", drive}, {"JID_2", controller}}));
  EXPECT_EQ(peers().calls("GetSubTree").size(), 6u);  // both interfaces asked for every job

  struct Case {
    uint64_t p;
    uint64_t s;
    std::string logged;
  };
  // The mapping itself is unit-tested; here: each answer arrives, is logged, and fails nothing.
  for (const Case& c : {Case{0x8000000000000007ULL, 0, "jcstatus = 25"}, Case{1, 5, "jcstatus = 12"},
                        Case{0, 5, "Successfully raid canceled config data"}}) {
    peers().answer(&PeerAnswers::configCancelP, c.p);
    peers().answer(&PeerAnswers::configCancelS, c.s);
    const size_t logSize = readLog().size();
    EXPECT_EQ(cleanUp("Reset:" + controller, "JID_1", 60), 0);
    EXPECT_TRUE(logShows(c.logged, logSize)) << c.logged;
  }
  peers().failWith("ConfigCancel", "com.zorvex.kelvo.storage.Error.Busy");
  const size_t logSize = readLog().size();
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_1", 60), 0);
  EXPECT_TRUE(logShows("InvokeDeletePendingConfiguration_RAID failed with status 37", logSize));
}

TEST_F(PendingConfigCleanup, BiosBiosTimeAndControllerFirmwareJobsReachTheirOwnPeers) {
  peers().start();
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_1", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{"BIOS.Setup.1-1", "JID_1"}}));
  // Whatever the configuration manager answers, the job stays deletable.
  peers().answer(&PeerAnswers::setConfigCancel, 5);
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_2", 61), 0);
  peers().failWith("SetConfigCancel", "com.zorvex.kelvo.system.Error.Busy");
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_3", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel").size(), 3u);
  // No BIOS FQDD: nothing to cancel.
  peers().answer(&PeerAnswers::biosFqdd, "");
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_4", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel").size(), 3u);

  // The BIOS time job passes the provisioning status on in sixteen bits.
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 0);
  EXPECT_EQ(peers().calls("cancelSetBIOSTime"), (CallList{{""}}));
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 9);
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 9);
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 0x10003);
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 3);

  // The controller firmware marker clears an active update flag, whatever the type,
  // and asks no peer.
  peers().forgetCalls();
  struct Case {
    const char* name;
    uint16_t before, after;
  };
  for (const Case& c : {Case{"Update kelvo WITH tamber firmware", 33, 30}, Case{"Update Kelvo firmware", 33, 33},
                        Case{"Kelvo with Tamber", 0, 0}}) {
    ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", c.before), 0);
    EXPECT_EQ(cleanUp(c.name, "JID_1", 5), 0);
    EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), c.after) << c.name;
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

  for (auto [type, fqdd] : {std::pair{65u, "Kelvo.Embedded.1"}, std::pair{66u, "System.Embedded.1"},
                            std::pair{160u, "Tamber.Embedded.1"}}) {
    const size_t logSize = readLog().size();
    EXPECT_EQ(cleanUp("Attributes", "JID_1", type), 0);
    EXPECT_TRUE(logShows(std::string("cancel staged attributes of ") + fqdd, logSize)) << type;
  }
}

}  // namespace
}  // namespace velmer::e2e
