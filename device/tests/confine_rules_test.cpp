// The confinement's decisions for inputs this machine cannot produce (an old kernel, a threaded
// process, a sandbox that failed) and the rules it would hand the kernel.
#include "device/confine_rules.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace sim::landlock;

TEST(ConfineRules, WhenTheKernelIsNotTrusted) {
  KernelFacts sound;
  sound.abi = kLeastAbi;
  EXPECT_EQ(whyNotKernel(sound), "");
  sound.sandbox = "namespaces";  // inside its sandbox: the kernel still confines
  sound.knob = "kernel";         // a knob of any other value changes nothing
  EXPECT_EQ(whyNotKernel(sound), "");

  // Each of these leaves planted code a way out, so only identical libraries may load, and the
  // answer says why.
  KernelFacts old = sound;
  old.abi = kLeastAbi - 1;  // signals and abstract sockets unscoped
  EXPECT_NE(whyNotKernel(old).find("ABI 5"), std::string::npos);
  KernelFacts missing = sound;
  missing.abi = -1;
  missing.abiError = "Function not implemented";
  EXPECT_EQ(whyNotKernel(missing), "Landlock is not available: Function not implemented");
  KernelFacts threaded = sound;
  threaded.threads = 2;  // the kernel would confine only the calling thread
  EXPECT_NE(whyNotKernel(threaded).find("2 threads"), std::string::npos);
  KernelFacts uncounted = sound;
  uncounted.threads = -1;
  EXPECT_NE(whyNotKernel(uncounted), "");
  KernelFacts unsandboxed = sound;
  unsandboxed.sandbox = "none: bubblewrap is missing";
  EXPECT_EQ(whyNotKernel(unsandboxed),
            "the device process runs without its sandbox: bubblewrap is missing");
}

TEST(ConfineRules, WhatAConfinedProcessMayReach) {
  // Signals stay scoped unless asked for; abstract sockets always are.
  EXPECT_EQ(scopes(false), kScopeAbstractUnix | kScopeSignal);
  EXPECT_EQ(scopes(true), kScopeAbstractUnix);
  // A file never gets a folder's rights (the kernel refuses the rule, leaving the file closed).
  EXPECT_EQ(rightsFor(false, kReadExecute), kReadFile | kExecute);
  EXPECT_EQ(rightsFor(true, kReadExecute), kReadExecute);

  sim::ConfineOptions options;
  options.readOnly = {"/opt/fonts"};
  const auto rules =
      systemRules(options, "/build/bin", {"/build/lsan.supp"}, "relative/cache", "/home/u");
  // Outside the device nothing is writable but the harmless devices.
  for (const Rule& rule : rules) {
    if ((rule.rights & (kWriteFile | kTruncate)) != 0) {
      EXPECT_TRUE(rule.path.starts_with("/dev/")) << rule.path;
    }
  }
  const auto rightsOf = [&](const std::string& path) {
    const auto it =
        std::find_if(rules.begin(), rules.end(), [&](const Rule& r) { return r.path == path; });
    return it == rules.end() ? ~0ULL : it->rights;
  };
  EXPECT_EQ(rightsOf("/build/bin"), kReadExecute);
  EXPECT_EQ(rightsOf("/opt/fonts"), kReadExecute);
  EXPECT_EQ(rightsOf("/build/lsan.supp"), kReadFile);
  EXPECT_EQ(rightsOf("/proc/self"), kReadFile | kReadDir);
  // A relative cache folder would be resolved against whatever folder the process runs in.
  EXPECT_EQ(rightsOf("relative/cache/fontconfig"), ~0ULL);
  EXPECT_EQ(rightsOf("/home/u/.cache/fontconfig"), kReadFile | kReadDir);
  const auto noHome = systemRules(options, "/b", {}, nullptr, "~");
  EXPECT_TRUE(std::none_of(noHome.begin(), noHome.end(),
                           [](const Rule& r) { return r.path.starts_with("~"); }));
}

TEST(ConfineRules, SuppressionFilesAndBuildCopies) {
  EXPECT_EQ(suppressionFilesIn("detect_leaks=1:suppressions=/a.supp,halt_on_error=0 "
                               "suppressions=/b.supp"),
            (std::vector<std::string>{"/a.supp", "/b.supp"}));
  EXPECT_TRUE(suppressionFilesIn("external_suppressions=/x").empty());

  EXPECT_EQ(buildCopyIn("/p", "/Library/MobileSubstrate/DynamicLibraries/VYRSignals.dylib"),
            "/p/VYRSignals.dylib");
  EXPECT_EQ(buildCopyIn("/p", "/Library/PreferenceBundles/VYR.bundle/VYR"), "/p/VYR.bundle/VYR");
  // A device path never leads the comparison out of the build's folder.
  for (const char* outside :
       {"/Library/PreferenceBundles/../../../etc/passwd", "/Library/PreferenceBundles//etc/passwd",
        "/Library/PreferenceBundles/", "/usr/lib/libc.so.6", "/Library/PreferenceBundlesX/VYR"}) {
    EXPECT_EQ(buildCopyIn("/p", outside), "") << outside;
  }
}

}  // namespace
