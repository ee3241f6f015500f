// The raw bytes of term --raw and listen: taken from the library's traffic
// log while a port exchanges frames with the simulator. Logging, once on,
// stays on in this process; no other test here uses the library in-process.
#include "tools/cli/log_tap.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ktcomm.h"
#include "tools/sim/sim_device.h"

namespace ktcomm::cli {
namespace {

namespace fs = std::filesystem;

void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}

TEST(LogTapTest, TakesBothDirectionsInOrderAndKeepsItsFilesSmall) {
  sim::Device device;
  if (device.Start({}) != 0) GTEST_SKIP() << "no pseudo-terminal";
  fs::path folder = fs::path(::testing::TempDir()) / ("ktcomm_tap_" + std::to_string(getpid()));
  fs::create_directories(folder);
  setenv("KTCOMM_COM1", device.Path().c_str(), 1);
  KTWindow window{Ignore, nullptr};

  std::vector<uint8_t> written, read, expected;
  size_t largestFile = 0;
  {
    LogTap tap(folder.string());
    ASSERT_TRUE(tap.Start(""));
    ASSERT_EQ(KTOpenPort(&window, 1, 64, 256, 115200, 'N', 8, 1, 1), KT_OK);
    auto take = [&] {
      for (const LogTap::Chunk& chunk : tap.Take()) {
        (chunk.reading ? read : written).insert((chunk.reading ? read : written).end(),
                                                chunk.bytes.begin(), chunk.bytes.end());
      }
      for (const auto& file : fs::directory_iterator(folder)) {
        largestFile = std::max<size_t>(largestFile, fs::file_size(file.path()));
      }
    };
    for (uint8_t i = 0; i < 40; ++i) {
      uint8_t command = 0, answer[8];
      uint32_t length = sizeof answer;
      ASSERT_EQ(KTSendCommandAndWait(1, 0x10, &i, 1, 5000, &command, answer, &length), KT_OK);
      expected.insert(expected.end(), {0x00, 0x80, 0x02, 0x10, i});
      if (i % 4 == 3) take();  // a take between exchanges, as term's timer would
    }
    take();
    KTClosePort(1);
    tap.Stop();
    // Stopped: the private files are gone, and a reopen writes nowhere here.
    EXPECT_TRUE(fs::is_empty(folder));
    ASSERT_EQ(KTOpenPort(&window, 1, 64, 256, 115200, 'N', 8, 1, 1), KT_OK);
    KTClosePort(1);
    EXPECT_TRUE(fs::is_empty(folder));
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(read, expected);  // the simulator echoes
  // Each file holds at most what was logged between two takes: 4 exchanges
  // of 10 bytes, 3 characters each, with the direction lines.
  EXPECT_LT(largestFile, 400u);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace ktcomm::cli
