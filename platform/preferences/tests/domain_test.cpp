#include "platform/preferences/domain.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/preferences/tests/plist_probe.hpp"
#include "tests/support/binary_plist.hpp"
#include "tests/support/temp_device.hpp"

namespace {

using preferences::writeDomainValue;
using vyrtest::storedKind;

constexpr const char kDomain[] = "com.belvorin.VYR";
constexpr const char kFile[] = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";

ns::String str(const char* text) {
  return ns::String::withUTF8(text);
}

std::size_t filesIn(const std::string& folder) {
  const std::filesystem::directory_iterator it(folder);
  return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

TEST(Domain, ChangesOneKeyKeepsTheRestAndLeavesNoTemporaryFile) {
  vyrtest::TempDevice device;
  device.write(kFile, vyrtest::xmlPlist({{"sig", "<integer>3</integer>"},
                                         {"vyrColor1", "<string>#ff0000</string>"}}));
  ns::AutoreleasePool pool;
  const std::string file = device.path(kFile);

  EXPECT_TRUE(writeDomainValue(kDomain, str("sigs"), ns::Number::withBool(false).get()));
  EXPECT_EQ(storedKind(file, "sigs"), "bool:false");
  EXPECT_EQ(storedKind(file, "sig"), "int:3");
  EXPECT_EQ(storedKind(file, "vyrColor1"), "string:#ff0000");
  EXPECT_EQ(ns::Object(preferences::readDomainValue(kDomain, str("sig"))).intValue(), 3);

  EXPECT_TRUE(writeDomainValue(kDomain, str("sig"), nullptr));  // nil removes the key
  EXPECT_EQ(storedKind(file, "sig"), "missing");
  EXPECT_EQ(storedKind(file, "sigs"), "bool:false");
  EXPECT_EQ(preferences::readDomainValue(kDomain, str("sig")), nullptr);
  EXPECT_EQ(filesIn(device.path("/var/mobile/Library/Preferences")), 1u);  // no temporary file

  // A domain is a plain name: nothing outside the preferences folder is ever written.
  for (const char* bad : {"", ".hidden", "../../Library/x", "a/b", "a b", "a\nb"}) {
    EXPECT_FALSE(preferences::domainFilePath(bad).has_value()) << bad;
    EXPECT_FALSE(writeDomainValue(bad, str("k"), ns::Number::withInt(1).get())) << bad;
  }
  EXPECT_FALSE(writeDomainValue(kDomain, ns::String(), ns::Number::withInt(1).get()));
}

TEST(Domain, UnreadableFileIsKeptAsideAndAFreshOneWritten) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  const std::string file = device.path(kFile);
  // Each unreadable file is kept under a name of its own: a second one never replaces the first.
  std::set<std::string> keptAs;
  for (const std::string& garbage :
       {std::string("not a plist"), std::string("bplist00\xff\xff", 10),
        vyrtest::xmlPlist({}).substr(0, 60), std::string()}) {
    device.write(kFile, garbage);
    EXPECT_EQ(preferences::readDomainValue(kDomain, str("txt")), nullptr);
    const preferences::WriteResult r =
        writeDomainValue(kDomain, str("txt"), ns::Number::withInt(9).get());
    EXPECT_TRUE(r) << r.problem;
    EXPECT_EQ(storedKind(file, "txt"), "int:9");
    ASSERT_EQ(r.setAside.rfind(std::string(kFile) + ".unreadable-", 0), 0u) << r.setAside;
    std::ifstream aside(device.path(r.setAside), std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(aside)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, garbage);
    EXPECT_TRUE(keptAs.insert(r.setAside).second) << r.setAside;
    device.remove(kFile);
  }
  // No file at all: one is made, nothing is set aside.
  const preferences::WriteResult fresh =
      writeDomainValue(kDomain, str("bat"), ns::Number::withInt(2).get());
  EXPECT_TRUE(fresh);
  EXPECT_TRUE(fresh.setAside.empty());
  EXPECT_EQ(storedKind(file, "bat"), "int:2");

  // A file that cannot be read at all is no parse failure: the write fails, says why, and the
  // file stays as it was, nothing set aside.
  const std::size_t before = filesIn(device.path("/var/mobile/Library/Preferences"));
  device.remove(kFile);
  ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
  const preferences::WriteResult special =
      writeDomainValue(kDomain, str("bat"), ns::Number::withInt(3).get());
  EXPECT_FALSE(special);
  EXPECT_NE(special.problem.find("not a regular file"), std::string::npos) << special.problem;
  EXPECT_TRUE(std::filesystem::is_fifo(file));
  EXPECT_EQ(filesIn(device.path("/var/mobile/Library/Preferences")), before);
}

// libplist's reading of the file at PATH without KEY, written as a binary list: equal bytes mean
// equal values, kinds and widths.
std::string withoutKey(const std::string& bytes, const char* key) {
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (root == nullptr) return "unreadable";
  if (plist_dict_get_item(root, key) != nullptr) plist_dict_remove_item(root, key);
  char* out = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &out, &length);
  std::string result(out != nullptr ? out : "", length);
  plist_to_bin_free(out);
  plist_free(root);
  return result;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A pane write keeps every other value exactly as the file had it, and refuses (changing nothing)
// where a value cannot be kept or stored exactly.
TEST(Domain, AWriteKeepsEveryOtherValueExactlyOrRefuses) {
  vyrtest::TempDevice device;
  const std::string file = device.path(kFile);
  vyrtest::BinaryPlist list;
  const auto entry = [&list](const char* key, std::size_t value) {
    return std::pair<std::size_t, std::size_t>{list.ascii(key), value};
  };
  const std::size_t inner = list.dictionary({entry("k", list.utf16(u"\u00e9t\u00e9"))});
  const std::vector<std::pair<std::size_t, std::size_t>> entries = {
      entry("sig", list.integer(3)),
      entry("max", list.raw("\x14" + vyrtest::BinaryPlist::bigEndian(0, 8) +
                            vyrtest::BinaryPlist::bigEndian(~0ULL, 8))),
      entry("minus", list.integer(~0ULL)),
      entry("uid", list.raw("\x83" + vyrtest::BinaryPlist::bigEndian(0xFFFFFFFF, 4))),
      entry("y1700", list.date(-9.4e9 - 0.123456789)),
      entry("y3000", list.date(3.1e10 + 0.5)),
      entry("data", list.data(std::string("\0\xff\x01", 3))),
      entry("nested", list.array({inner, list.real(0.1), list.boolean(true)})),
  };
  const std::string original = list.bytes(list.dictionary(entries));
  device.write(kFile, original);
  ns::AutoreleasePool pool;
  ASSERT_TRUE(writeDomainValue(kDomain, str("sig"), ns::Number::withInt(7).get()));
  EXPECT_EQ(storedKind(file, "sig"), "int:7");
  EXPECT_EQ(withoutKey(slurp(file), "sig"), withoutKey(original, "sig"));
  // Read as objects too, the largest unsigned value is no -1.
  EXPECT_EQ((objc::send<"unsignedLongLongValue", unsigned long long>(
                preferences::readDomainValue(kDomain, str("max")))),
            ~0ULL);

  // Values that libplist cannot carry: the file is left exactly as it was, and the reason given.
  for (const auto& [what, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"string with a NUL",
            [] {
              vyrtest::BinaryPlist l;
              return l.bytes(l.dictionary({{l.ascii("sig"), l.integer(1)},
                                           {l.ascii("s"), l.ascii(std::string("a\0b", 3))}}));
            }()},
           {"key with a NUL",
            [] {
              vyrtest::BinaryPlist l;
              return l.bytes(l.dictionary({{l.ascii("sig"), l.integer(1)},
                                           {l.ascii(std::string("sig\0x", 5)), l.integer(2)}}));
            }()},
           {"integer beyond 64 bits",
            vyrtest::xmlPlist({{"big", "<integer>99999999999999999999</integer>"}})}}) {
    device.write(kFile, bytes);
    const preferences::WriteResult r =
        writeDomainValue(kDomain, str("sig"), ns::Number::withInt(5).get());
    EXPECT_FALSE(r) << what;
    EXPECT_NE(r.problem.find("exactly"), std::string::npos) << what << ": " << r.problem;
    EXPECT_EQ(slurp(file), bytes) << what;
  }

  // A new value or key holding a NUL ("%c" of 0 makes one, as in Foundation): libplist would cut
  // it there, so the write is refused and the file stays as it was.
  const auto withNul = [] {
    return ns::String(objc::sendVariadic<objc::id>(
        objc::asId(ns::String::cls()), objc::sel<"stringWithFormat:">(), str("a%cb").get(), 0));
  };
  ASSERT_EQ(withNul().length(), 3U);
  device.write(kFile, original);
  for (const auto& [key, value] :
       {std::pair{str("s"), withNul()}, std::pair{withNul(), str("v")}}) {
    const preferences::WriteResult r = writeDomainValue(kDomain, key, value.get());
    EXPECT_FALSE(r);
    EXPECT_NE(r.problem.find("NUL"), std::string::npos) << r.problem;
    EXPECT_EQ(slurp(file), original);
  }
}

// Writers in two other processes and in threads of this one, each changing keys of its own: the
// read-modify-write of the whole file must lose none of them.
TEST(Domain, ConcurrentWritersAcrossProcessesAndThreadsLoseNoChange) {
  vyrtest::TempDevice device;
  constexpr int kKeysPerWriter = 20;
  const auto writeKeys = [](const std::string& prefix) {
    ns::AutoreleasePool pool;
    for (int i = 0; i < kKeysPerWriter; ++i) {
      const std::string key = prefix + std::to_string(i);
      writeDomainValue(kDomain, str(key.c_str()), ns::Number::withInt(i).get());
    }
  };
  std::vector<pid_t> children;
  for (const char* prefix : {"p1-", "p2-"}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      writeKeys(prefix);
      _exit(0);
    }
    children.push_back(pid);
  }
  std::thread t1(writeKeys, "t1-");
  std::thread t2(writeKeys, "t2-");
  t1.join();
  t2.join();
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string file = device.path(kFile);
  for (const char* prefix : {"p1-", "p2-", "t1-", "t2-"}) {
    for (int i = 0; i < kKeysPerWriter; ++i) {
      const std::string key = prefix + std::to_string(i);
      EXPECT_EQ(storedKind(file, key.c_str()), "int:" + std::to_string(i)) << key;
    }
  }
}

}  // namespace
