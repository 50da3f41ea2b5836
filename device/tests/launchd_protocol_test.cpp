// The supervisor's requests and answers read apart from any socket: what the end-to-end tests of
// device processes never send.
#include "device/launchd_protocol.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using sim::launchd::parseRequest;
using Verb = sim::launchd::Request::Verb;

TEST(LaunchdProtocol, RequestsAreReadStrictly) {
  // A verb is a whole word: a longer one is no request the supervisor knows.
  EXPECT_EQ(parseRequest("list").verb, Verb::List);
  EXPECT_EQ(parseRequest("listall").verb, Verb::Unknown);
  EXPECT_EQ(parseRequest("").verb, Verb::Unknown);

  // Only the exact flag keeps a process for its parent to start again.
  EXPECT_TRUE(parseRequest("join Mail\tkept").kept);
  EXPECT_FALSE(parseRequest("join Mail\tkept2").kept);
  EXPECT_FALSE(parseRequest("join Mail kept").kept);
  EXPECT_EQ(parseRequest("join Mail kept").name, "Mail kept");
  EXPECT_EQ(parseRequest("join Mail").name, "Mail");

  // A signal is a whole number of the kernel's range, followed by the name; anything else
  // signals nobody (the name is not even taken).
  const auto kill = parseRequest("killall 9\tSpringBoard");
  EXPECT_EQ(kill.signalNumber, 9);
  EXPECT_EQ(kill.name, "SpringBoard");
  for (const char* malformed : {"killall 9", "killall 9x\tSpringBoard", "killall -1\tSpringBoard",
                                "killall 1000\tSpringBoard", "killall 99999999999999999999\tA"}) {
    const auto r = parseRequest(malformed);
    EXPECT_EQ(r.verb, Verb::Killall) << malformed;
    EXPECT_EQ(r.signalNumber, -1) << malformed;
    EXPECT_EQ(r.name, "") << malformed;
  }
  EXPECT_EQ(parseRequest("killall " + std::to_string(SIGRTMAX) + "\tA").signalNumber, SIGRTMAX);

  // A wait is bounded both ways: a client cannot park a request for ever, nor in the past.
  EXPECT_EQ(parseRequest("started 500").waitMs, 500);
  EXPECT_EQ(parseRequest("started -5").waitMs, 0);
  EXPECT_EQ(parseRequest("started 99999999").waitMs, 60000);
  EXPECT_EQ(parseRequest("started").waitMs, 0);
}

TEST(LaunchdProtocol, KillallOfTheDaemonsAndWhichSignalsEnd) {
  // Stopping or continuing backboardd stops nothing else: only a signal that ends it resprings.
  for (const int quiet : {0, SIGSTOP, SIGTSTP, SIGCONT, SIGWINCH, SIGURG, SIGCHLD}) {
    const auto plan = sim::launchd::planKillall(sim::launchd::kRespringDaemon, quiet);
    EXPECT_TRUE(plan.daemonOnly) << quiet;
    EXPECT_FALSE(plan.ending) << quiet;
  }
  for (const int ending : {SIGTERM, SIGKILL, SIGHUP, SIGUSR1, SIGRTMIN}) {
    const auto plan = sim::launchd::planKillall(sim::launchd::kRespringDaemon, ending);
    EXPECT_FALSE(plan.daemonOnly) << ending;
    EXPECT_TRUE(plan.respring && plan.ending) << ending;
  }
  // lsd is answered whatever the signal; another name is only ever that name's processes.
  EXPECT_TRUE(sim::launchd::planKillall(sim::launchd::kLaunchServicesDaemon, SIGKILL).daemonOnly);
  const auto mail = sim::launchd::planKillall("MobileMail", SIGSTOP);
  EXPECT_FALSE(mail.daemonOnly || mail.respring || mail.ending);
  // The daemons are known by their exact names only.
  EXPECT_FALSE(sim::launchd::isSystemDaemon("LSD"));
  EXPECT_FALSE(sim::launchd::isSystemDaemon("backboardd "));
  EXPECT_TRUE(sim::launchd::validProcessName("backboardd2"));
}

TEST(LaunchdProtocol, AnswersAndSocketNames) {
  // What the supervisor writes, its client reads back; a line without a tab is no process, and
  // the answer's first line ("ok COUNT") never is one.
  const std::string answer = "ok 2\n" + sim::launchd::processLine(12, "R\xc3\xa9glages") +
                             "\nnoise\n" + sim::launchd::processLine(3, "Spring Board");
  const auto listed = sim::launchd::listedProcesses(answer);
  ASSERT_EQ(listed.size(), 2U);
  EXPECT_EQ(listed[0].pid, 12);
  EXPECT_EQ(listed[0].name, "R\xc3\xa9glages");
  EXPECT_EQ(listed[1].pid, 3);
  EXPECT_EQ(listed[1].name, "Spring Board");
  EXPECT_TRUE(sim::launchd::listedProcesses("ok 0").empty());

  // The name file must hold exactly what a supervisor draws: a planted path is never a socket.
  EXPECT_TRUE(sim::launchd::isRandomName("0123456789abcdef0123456789abcdef"));
  for (const char* planted :
       {"0123456789ABCDEF0123456789ABCDEF", "0123456789abcdef0123456789abcde",
        "../../tmp/0123456789abcdef012345", "0123456789abcdef0123456789abcdeg"}) {
    EXPECT_FALSE(sim::launchd::isRandomName(planted)) << planted;
  }
}

}  // namespace
