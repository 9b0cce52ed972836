// The tool's small parts where a slip is silent: the SHA-256 behind the
// manifest (at the padding's edges and fed in pieces), the manifest's lines,
// the words it suggests for a shell, how it takes a serial and a folder,
// lines cut and folded for a terminal, and when a player in ROM recovery
// mode is taken for one an update left before its first erase.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/console.h"
#include "cli/last_run.h"
#include "cli/manifest.h"
#include "cli/sha256.h"

namespace kx7::cli {
namespace {

std::string Sha(const std::string& text, std::size_t piece) {
  Sha256 hash;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    const std::string part = text.substr(at, piece);
    hash.Add({reinterpret_cast<const std::uint8_t*>(part.data()), part.size()});
  }
  return hash.FinishHex();
}

TEST(CliSha256, KnownDigestsWholeAndInPieces) {
  struct Vector {
    std::string text;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // Where the length no longer fits the last block, and whole blocks.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.text.size());
    for (std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{7}, std::size_t{64},
                              std::size_t{4097}}) {
      if (piece == 1 && v.text.size() > 1000) continue;
      EXPECT_EQ(Sha(v.text, piece), v.digest) << "in pieces of " << piece;
    }
  }
}

TEST(CliManifest, LinesAsSha256sumWritesThem) {
  const std::string hash(64, 'a');
  const std::string upper(64, 'A');
  const std::string notHex(64, 'g');
  struct Case {
    std::string text;
    bool valid;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {hash + "  firmware.sb\n" + hash + " *updater.sb\r\n", true, {"firmware.sb", "updater.sb"}},
      {"# kx7fw manifest\n\n   \n" + hash + "  a#b.sb\n", true, {"a#b.sb"}},
      {upper + "  firmware.sb\n", true, {"firmware.sb"}},
      {hash + " firmware.sb\n", false, {}},             // one blank
      {hash.substr(1) + "  firmware.sb\n", false, {}},  // 63 digits
      {notHex + "  firmware.sb\n", false, {}},
      {hash + "  ../firmware.sb\n", false, {}},
      {hash + "  sub\\firmware.sb\n", false, {}},
      {hash + "  \n", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto lines = ParseManifest(c.text, error);
    ASSERT_EQ(lines.has_value(), c.valid) << error;
    if (!lines) {
      EXPECT_NE(error.find("is not \"SHA-256  NAME\""), std::string::npos) << error;
      continue;
    }
    std::vector<std::string> names;
    for (const ManifestLine& line : *lines) {
      names.push_back(line.name);
      EXPECT_EQ(line.sha256, hash);  // lower case, as the check compares
    }
    EXPECT_EQ(names, c.names);
  }
}

TEST(CliArguments, WordsForAShellAndTheSerialAndFolderAsMeant) {
  const std::pair<std::string, std::string> quoted[] = {
      {"0000KX7T4A2C19F0", "0000KX7T4A2C19F0"},
      {"/tmp/fw/", "/tmp/fw/"},
      {"C:\\Program Files\\Fw\\", "'C:\\Program Files\\Fw\\'"},
      {"it's", "'it'\\''s'"},
      {"$HOME", "'$HOME'"},
      {"", "''"},
  };
  for (const auto& [word, shell] : quoted) EXPECT_EQ(ShellQuote(word), shell);

  struct Sorted {
    std::string first, second;
    std::string serial, folder;
    bool swapped;
  };
  const Sorted sorted[] = {
      {"0000KX7T4A2C19F0", "C:\\Fw\\", "0000KX7T4A2C19F0", "C:\\Fw\\", false},
      {"C:\\Fw\\", "0000KX7T4A2C19F0", "0000KX7T4A2C19F0", "C:\\Fw\\", true},
      {"/tmp", "", "", "/tmp", false},
      {".", "kx7-a1", "kx7-a1", ".", true},
      {"kx7-a1", "", "kx7-a1", "", false},
      {"/a", "/b", "/a", "/b", false},  // two folders: taken as given
  };
  for (const Sorted& s : sorted) {
    SCOPED_TRACE(s.first + " | " + s.second);
    const SerialAndFolder got = SortSerialAndFolder(s.first, s.second);
    EXPECT_EQ(got.serial, s.serial);
    EXPECT_EQ(got.folder, s.folder);
    EXPECT_EQ(got.swapped, s.swapped);
  }

  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(FirmwareFolder("C:\\Fw"), "C:\\Fw\\");
  EXPECT_EQ(FirmwareFolder("C:\\Fw\\"), "C:\\Fw\\");
  EXPECT_EQ(FirmwareFolder("/tmp/fw"), "/tmp/fw/");
  EXPECT_EQ(FirmwareFolder("fw/../fw2"), here + "/fw2/");

  const Invocation sim("kx7fw", true, "/s/two players.json");
  EXPECT_EQ(sim.Command({"recover", "", "C:\\Fw\\", "--yes"}),
            "kx7fw --sim '/s/two players.json' recover 'C:\\Fw\\' --yes");
}

TEST(CliConsole, LinesCutAndFoldedToTheWidth) {
  // A UTF-8 sequence is one cell; the last cell stays free.
  EXPECT_EQ(console::Fit("abcdef", 5), "abcd");
  EXPECT_EQ(console::Fit("h\xC3\xA9llo", 5), "h\xC3\xA9ll");
  EXPECT_EQ(console::Fit("abc", 80), "abc");
  const std::string text = "one two three four five six seven";
  EXPECT_EQ(console::Fold(text, 40, 2), text + "\n");
  EXPECT_EQ(console::Fold(text, 21, 4), "one two three four\n    five six seven\n");
  // A word longer than the line is cut.
  EXPECT_EQ(console::Fold(std::string(30, 'x'), 21, 0),
            std::string(20, 'x') + "\n" + std::string(10, 'x') + "\n");
}

TEST(CliLastRun, APlayerLeftBeforeItsFirstErase) {
  const std::int64_t now = 1'800'000'000;
  struct Case {
    LastRun run;
    bool left;
  };
  const Case cases[] = {
      {{"update", "S", "failed", false, now - 60}, true},
      {{"update", "S", "running", false, now - 60}, true},  // killed outright
      {{"update", "S", "running", true, now - 60}, false},  // killed in the rewrite
      {{"update", "S", "stopped", true, now - 60}, false},
      {{"update", "S", "done", false, now - 60}, false},
      {{"update", "S", "failed", false, now - 2 * 24 * 3600}, false},  // long ago
      {{"update", "S", "failed", false, now + 60}, false},             // a clock that went back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.run.outcome + (c.run.rewriteBegan ? " rewriting" : ""));
    EXPECT_EQ(LeftBeforeFirstErase(c.run, now), c.left);
  }
  // Kept in a folder and read back; nothing without a folder.
  const std::string folder = ::testing::TempDir() + "kx7fw-last-run-" + std::to_string(now);
  RecordLastRun(folder, {"update", "0000KX7T4A2C19F0", "running", true, now});
  const auto read = ReadLastRun(folder);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->serial, "0000KX7T4A2C19F0");
  EXPECT_EQ(read->outcome, "running");
  EXPECT_TRUE(read->rewriteBegan);
  EXPECT_EQ(read->when, now);
  EXPECT_FALSE(ReadLastRun(""));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kx7::cli
