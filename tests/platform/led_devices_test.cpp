#include "led_devices.h"

#include <gtest/gtest.h>
#include <linux/input.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "temp_store.h"

namespace halvern {
namespace {

void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Brightness(const std::filesystem::path& led) {
  std::string text = ReadFile(led / "brightness");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The force-feedback events written to a fake device node.
std::vector<std::pair<int, int>> FfEvents(const std::filesystem::path& node) {
  const std::string bytes = ReadFile(node);
  std::vector<std::pair<int, int>> events;
  for (std::size_t at = 0; at + sizeof(input_event) <= bytes.size(); at += sizeof(input_event)) {
    input_event event{};
    std::memcpy(&event, bytes.data() + at, sizeof event);
    if (event.type == EV_FF) events.emplace_back(event.code, event.value);
  }
  return events;
}

// A fake machine: sysfs LED and input folders and a /dev/input folder.
class FakeMachine {
 public:
  FakeMachine() {
    AddLed("input3::capslock", "1");
    AddLed("red:indicator", "255");
    AddLed("green:indicator", "255");
    AddLed("white:notification", "");  // no max_brightness: 1
    AddLed("tpacpi::power", "1");
    std::filesystem::create_directories(paths.leds / "broken:notification");  // no brightness file
    AddInput("event0", "0");            // keyboard: no force feedback
    AddInput("event2", "1 0");          // force feedback, but not rumble
    AddInput("event5", "107030000 0");  // a rumble device
    AddInput("event7", "107030000 0");  // a second one: not used
    WriteFile(paths.inputClass / "mouse0" / "device" / "capabilities" / "ff", "107030000 0");
    for (const char* node : {"event0", "event2", "event5", "event7"}) {
      WriteFile(paths.devInput / node, "");
    }
  }
  std::filesystem::path Led(const std::string& name) const { return paths.leds / name; }

  test::TempDir dir;
  LedPaths paths{dir.path() / "leds", dir.path() / "input", dir.path() / "dev"};

 private:
  void AddLed(const std::string& name, const std::string& max) {
    WriteFile(paths.leds / name / "brightness", "0\n");
    if (!max.empty()) WriteFile(paths.leds / name / "max_brightness", max + "\n");
  }
  void AddInput(const std::string& name, const std::string& ff) {
    WriteFile(paths.inputClass / name / "device" / "capabilities" / "ff", ff + "\n");
  }
};

TEST(LedDevicesTest, FindsNotificationLedsAndTheRumbleDevice) {
  FakeMachine machine;
  LinuxLedDevices devices(machine.paths, [](int) { return 3; });
  EXPECT_EQ(devices.notificationLeds(),
            (std::vector<std::filesystem::path>{machine.Led("green:indicator"),
                                                machine.Led("red:indicator"),
                                                machine.Led("white:notification")}));
  EXPECT_EQ(devices.vibrator(), machine.paths.devInput / "event5");
}

TEST(LedDevicesTest, DeviceZeroLightsTheLedsAndTellsTheTrayIcon) {
  FakeMachine machine;
  std::vector<bool> tray;
  {
    LinuxLedDevices devices(machine.paths, [](int) { return 3; });
    devices.SetNotificationCallback([&](bool on) { tray.push_back(on); });
    devices.SetLed(kLedNotification, true);
    EXPECT_EQ(Brightness(machine.Led("red:indicator")), "255");
    EXPECT_EQ(Brightness(machine.Led("green:indicator")), "255");
    EXPECT_EQ(Brightness(machine.Led("white:notification")), "1");
    EXPECT_EQ(Brightness(machine.Led("input3::capslock")), "0");  // never touched
    EXPECT_EQ(Brightness(machine.Led("tpacpi::power")), "0");
    devices.SetLed(kLedNotification, false);
    EXPECT_EQ(Brightness(machine.Led("red:indicator")), "0");
    devices.SetLed(kLedNotification, true);
    // Destroyed while lit: switched off.
  }
  EXPECT_EQ(tray, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(Brightness(machine.Led("red:indicator")), "0");
  EXPECT_EQ(Brightness(machine.Led("white:notification")), "0");
}

TEST(LedDevicesTest, DeviceOnePlaysAndStopsARumbleEffect) {
  FakeMachine machine;
  int uploads = 0;
  {
    LinuxLedDevices devices(machine.paths, [&](int fd) {
      EXPECT_GE(fd, 0);
      ++uploads;
      return 3;
    });
    devices.SetLed(kLedVibrator, false);  // never opened: nothing to stop
    EXPECT_TRUE(FfEvents(machine.paths.devInput / "event5").empty());
    devices.SetLed(kLedVibrator, true);
    devices.SetLed(kLedVibrator, false);
    devices.SetLed(kLedVibrator, true);
    // Destroyed while on: stopped.
  }
  EXPECT_EQ(uploads, 1);
  EXPECT_EQ(FfEvents(machine.paths.devInput / "event5"),
            (std::vector<std::pair<int, int>>{{3, 1}, {3, 0}, {3, 1}, {3, 0}}));
  EXPECT_TRUE(FfEvents(machine.paths.devInput / "event7").empty());
}

TEST(LedDevicesTest, MissingOrRefusingDevicesAreNotDriven) {
  // A device that refuses the effect is given up after one try.
  FakeMachine machine;
  int uploads = 0;
  LinuxLedDevices refusing(machine.paths, [&](int) {
    ++uploads;
    return -1;
  });
  refusing.SetLed(kLedVibrator, true);
  refusing.SetLed(kLedVibrator, true);
  EXPECT_EQ(uploads, 1);
  EXPECT_TRUE(FfEvents(machine.paths.devInput / "event5").empty());

  // A device node that is not there.
  std::filesystem::remove(machine.paths.devInput / "event5");
  LinuxLedDevices noNode(machine.paths, [&](int) { return 1; });
  noNode.SetLed(kLedVibrator, true);

  // A machine with none of the folders; unknown device numbers.
  test::TempDir empty;
  LinuxLedDevices none(LedPaths{empty.path() / "a", empty.path() / "b", empty.path() / "c"});
  EXPECT_TRUE(none.notificationLeds().empty());
  EXPECT_TRUE(none.vibrator().empty());
  bool told = false;
  none.SetNotificationCallback([&](bool) { told = true; });
  none.SetLed(kLedNotification, true);
  none.SetLed(kLedVibrator, true);
  none.SetLed(2, true);
  none.SetLed(-1, true);
  EXPECT_TRUE(told);  // the tray icon still shows the alert
}

TEST(LedDevicesTest, CapabilityBitmaps) {
  struct Case {
    const char* bitmap;
    unsigned bit;
    bool set;
  };
  const Case cases[] = {
      {"107030000 0", FF_RUMBLE, true},
      {"107030000 0", FF_GAIN, true},
      {"107030000 0", 0, false},
      {"10000 0", FF_RUMBLE, true},
      {"20000 0", FF_RUMBLE, false},
      {"10000", FF_RUMBLE, false},  // only the low word: bit 16
      {"10000", 16, true},
      {"0", FF_RUMBLE, false},
      {"", FF_RUMBLE, false},
      {"zz 0", FF_RUMBLE, false},
      {"1 0 0", 128, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasCapabilityBit(c.bitmap, c.bit), c.set) << c.bitmap << " bit " << c.bit;
  }
}

}  // namespace
}  // namespace halvern
