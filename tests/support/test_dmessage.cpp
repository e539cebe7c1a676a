#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/dmessage.h"
#include "support/dmhold.h"
#include "support/memobject.h"

namespace {

// Restores the facility's process-wide state after each test.
class DMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(saved_flags_, dmessage_class_flags, sizeof saved_flags_);
    saved_abort_ = dmessage_abort;
    saved_exit_ = dmessage_exit;
    dmessage_abort = [] { ++aborts; };
    dmessage_exit = [](int status) { last_exit = status; };
    dmessage_last_class = DMCnerr;
    aborts = 0;
    last_exit = -1;
  }
  void TearDown() override {
    std::memcpy(dmessage_class_flags, saved_flags_, sizeof saved_flags_);
    dmessage_abort = saved_abort_;
    dmessage_exit = saved_exit_;
    dmessage_alert = nullptr;
    dmessage_call = nullptr;
    if (dmessage_logfp != nullptr) std::fclose(dmessage_logfp);
    dmessage_logfp = nullptr;
  }

  uint32_t saved_flags_[DMCnerr + 1];
  void (*saved_abort_)();
  void (*saved_exit_)(int);
  static int aborts;
  static int last_exit;
};
int DMessageTest::aborts = 0;
int DMessageTest::last_exit = -1;

TEST_F(DMessageTest, DefaultActionsPerClass) {
  const uint32_t expected[DMCnerr + 1] = {0x2F, 0x1F, 0x0F, 0x0F, 0x0F, 0x0F,
                                          0x0F, 0x03, 0x03, 0x01, 0};
  for (unsigned c = 0; c <= DMCnerr; ++c) EXPECT_EQ(dmessage_class_flags[c], expected[c]) << c;
  EXPECT_STREQ(dmessage_class_name[DMCparameter], "parameter");
  EXPECT_STREQ(dmessage_class_name[DMCnerr], "none");
  // A class above 9 does nothing.
  EXPECT_EQ(dmessage(12, "x", "f.cpp", 1), 0u);
  EXPECT_EQ(dmessage(DMCnerr, "x", "f.cpp", 1), 0u);
  EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCnerr));
}

TEST_F(DMessageTest, RecordKeepsTheLastTextOfEachClass) {
  EXPECT_EQ(dmessage(DMCinfo, "hello", "a/b/src.cpp", 7), 1u);  // no log: only recorded
  EXPECT_STREQ(dmessage_record[DMCinfo], "hello");
  EXPECT_STREQ(dmessage_file[DMCinfo], "src.cpp");
  EXPECT_EQ(dmessage_line[DMCinfo], 7);
  EXPECT_EQ(dmessage_class_done[DMCinfo], 1u);
  EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCinfo));
  dmessage(DMCinfo, "two", nullptr, 0);
  EXPECT_STREQ(dmessage_record[DMCinfo], "two");
  EXPECT_EQ(dmessage_record[DMCinfo], dmessage_mine[DMCinfo]);
  for (const char* missing : {static_cast<const char*>(nullptr), ""}) {
    dmessage(DMCtrace, missing, nullptr, 0);
    EXPECT_STREQ(dmessage_record[DMCtrace], "(missing message)");
  }
}

TEST_F(DMessageTest, LogAndStderrLineFormats) {
  dmessage_logfp = std::tmpfile();
  ASSERT_NE(dmessage_logfp, nullptr);
  EXPECT_EQ(dmessage(DMCwarning, "first", "/x/y/file.cc", 42), 3u);
  EXPECT_EQ(dmessage(DMCinfo, "second", nullptr, 0), 3u);
  EXPECT_EQ(dmessage(DMCtrace, "not logged", "t.cc", 1), 1u);
  dmessage(DMCwarning, "w", "some/dir/", 5);  // no file name: the short form
  // A name in a message shows as names do: one line each, the name of the byte E9 and the one
  // of the four characters \xE9 apart.
  dmessage(DMCinfo, "Renamed 'caf\xE9.jpg' to 'caf\\xE9.jpg' and 'two\nlines'", nullptr, 0);
  std::rewind(dmessage_logfp);
  std::string logged;
  for (int c; (c = std::fgetc(dmessage_logfp)) != EOF;) logged.push_back(static_cast<char>(c));
  EXPECT_EQ(logged,
            "file.cc@42>warning: first\ninfo: second\nwarning: w\n"
            "info: Renamed 'caf\\xE9.jpg' to 'caf\\\\xE9.jpg' and 'two\\x0Alines'\n");
  // On standard error a system error carries the text of errno.
  dmessage_class_flags[DMCsystem] = DMAstderr;
  errno = ENOENT;
  testing::internal::CaptureStderr();
  EXPECT_EQ(dmessage(DMCsystem, "cannot open", nullptr, 0), static_cast<uint32_t>(DMAstderr));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("system: cannot open: ") + std::strerror(ENOENT) + "\n");
  errno = 0;
  testing::internal::CaptureStderr();
  dmessage(DMCsystem, "plain", "s.cpp", 9);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "s.cpp@9>system: plain\n");
}

// A system error given with the message is the one told, whatever errno holds; a message whose
// text tells its reason whole gets none; only the classes that tell one append it; errno is as
// it was afterwards.
TEST_F(DMessageTest, AGivenSystemErrorIsToldInsteadOfErrno) {
  dmessage_class_flags[DMCsystem] = DMAstderr;
  dmessage_class_flags[DMCresource] = DMAstderr;
  dmessage_class_flags[DMCdata] = DMAstderr;
  errno = ENOENT;
  testing::internal::CaptureStderr();
  dmessagef_errno(DMCsystem, DMnoSystemError, nullptr, 0, "told %s", "whole");
  dmessagef_errno(DMCresource, EACCES, nullptr, 0, "cannot %s", "write");
  dmessage_errno(DMCdata, EACCES, "no reason for data", nullptr, 0);
  dmessagef(DMCsystem, nullptr, 0, "from %s", "errno");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("system: told whole\nresource: cannot write: ") + std::strerror(EACCES) +
                "\ndata: no reason for data\nsystem: from errno: " + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(DMtellsSystemError(DMCsystem) && DMtellsSystemError(DMCresource));
  EXPECT_FALSE(DMtellsSystemError(DMCdata) || DMtellsSystemError(DMCwarning));
}

namespace {

std::vector<std::string> alerted;

int CountAlert(const char* text) {
  alerted.emplace_back(text);
  return 1;
}

std::string Logged() {
  std::string s;
  std::rewind(dmessage_logfp);
  for (int c; (c = std::fgetc(dmessage_logfp)) != EOF;) s.push_back(static_cast<char>(c));
  return s;
}

}  // namespace

// Each way of holding reports back, against what reaches the record, the log, standard error
// and the alert, while it holds and once it ends; nested holds give back what they took.
TEST_F(DMessageTest, HoldsBackReportsAsTheirModeSays) {
  dmessage_logfp = std::tmpfile();
  ASSERT_NE(dmessage_logfp, nullptr);
  alerted.clear();
  dmessage_alert = CountAlert;
  dmessage_class_flags[DMCsystem] = DMArecord | DMAlog | DMAstderr | DMAalert;

  // Quiet: nothing at all, and the most severe class is left as it was.
  dmessage(DMCwarning, "before", nullptr, 0);
  const char* const recorded = dmessage_record[DMCsystem];
  testing::internal::CaptureStderr();
  {
    const DMessageHold quiet(DMessageHold::quiet);
    dmessage(DMCsystem, "probe", nullptr, 0);
    dmessage(DMCdata, "probe", nullptr, 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Logged(), "warning: before\n");
  EXPECT_TRUE(alerted.empty());
  EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCwarning));
  EXPECT_EQ(dmessage_record[DMCsystem], recorded);
  EXPECT_EQ(dmessage_call, nullptr);

  // Unseen: done as ever, and then the most severe class is what it was before.
  dmessage_last_class = DMCinfo;
  {
    const DMessageHold unseen(DMessageHold::unseen);
    dmessage(DMCwarning, "derived", nullptr, 0);
    EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCwarning));
  }
  EXPECT_EQ(Logged(), "warning: before\nwarning: derived\n");
  EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCinfo));

  // No alert: recorded and logged, the alert left out of what was done, and not alerted later
  // by a hold of alerts around it either (its caller tells it): the most severe class is again
  // what it was.
  {
    DMessageHold once(DMessageHold::alertOnce);
    {
      const DMessageHold noAlert(DMessageHold::noAlert);
      testing::internal::CaptureStderr();
      errno = 0;
      EXPECT_EQ(dmessage(DMCsystem, "logged only", nullptr, 0),
                static_cast<uint32_t>(DMArecord | DMAlog | DMAstderr));
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "system: logged only\n");
    }
    EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCnerr));
  }
  EXPECT_TRUE(alerted.empty());
  EXPECT_EQ(dmessage_alert, CountAlert);

  // Kept: the kept classes wait, the others go on; at the end they come in order with their
  // own system errors, unless dropped.
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "dropped" : "told");
    std::fclose(dmessage_logfp);
    dmessage_logfp = std::tmpfile();
    testing::internal::CaptureStderr();
    {
      DMessageHold kept(DMessageHold::kept,
                        DMessageHold::Class(DMCsystem) | DMessageHold::Class(DMCwarning));
      errno = ENOSPC;
      dmessage(DMCsystem, "first", "k.cpp", 1);
      errno = 0;
      dmessage(DMCinfo, "passes", "k.cpp", 2);
      {
        const DMessageHold quiet(DMessageHold::quiet);
        dmessage(DMCwarning, "never", "k.cpp", 3);
      }
      dmessage(DMCwarning, "second", "k.cpp", 4);
      EXPECT_EQ(Logged(), "k.cpp@2>info: passes\n");
      EXPECT_TRUE(alerted.empty());
      if (drop) kept.Drop();
    }
    EXPECT_EQ(dmessage_call, nullptr);
    if (drop) {
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      EXPECT_EQ(Logged(), "k.cpp@2>info: passes\n");
      EXPECT_TRUE(alerted.empty());
    } else {
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                std::string("k.cpp@1>system: first: ") + std::strerror(ENOSPC) + "\n");
      EXPECT_EQ(Logged(), "k.cpp@2>info: passes\nk.cpp@1>system: first\nk.cpp@4>warning: second\n");
      EXPECT_EQ(alerted, std::vector<std::string>{"first"});
    }
    alerted.clear();
  }

  // Alert once: nothing alerted meanwhile; at the end the most severe message of the time,
  // once. Without an alert hook it holds nothing.
  dmessage_class_flags[DMCdata] = DMArecord | DMAalert;
  dmessage_last_class = DMCsystem;  // before the hold: starts afresh
  {
    DMessageHold once(DMessageHold::alertOnce);
    EXPECT_TRUE(once.Holding());
    EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCnerr));
    dmessage(DMCdata, "bad data", nullptr, 0);
    {
      DMessageHold inner(DMessageHold::alertOnce);
      EXPECT_FALSE(inner.Holding());
      dmessage(DMCsystem, "worse", nullptr, 0);
    }
    dmessage(DMCdata, "more bad data", nullptr, 0);
    EXPECT_TRUE(alerted.empty());
    EXPECT_EQ(dmessage_alert, nullptr);
  }
  EXPECT_EQ(alerted, std::vector<std::string>{"worse"});
  EXPECT_TRUE(dmessage_class_done[DMCsystem] & DMAalert);
  EXPECT_EQ(dmessage_alert, CountAlert);
  // Across calls, as a hold that spans a task.
  alerted.clear();
  EXPECT_EQ(DMessageHold::HoldAlerts(), CountAlert);
  EXPECT_EQ(DMessageHold::HoldAlerts(), nullptr);
  dmessage(DMCdata, "kept data", nullptr, 0);
  DMessageHold::LetAlerts(CountAlert);
  EXPECT_EQ(alerted, std::vector<std::string>{"kept data"});
  EXPECT_EQ(dmessage_alert, CountAlert);
}

TEST_F(DMessageTest, HooksCarryOutActionsAndResultReportsThem) {
  dmessage_call = [](unsigned, const char*, const char*, int) -> uint32_t { return 0x3F; };
  testing::internal::CaptureStderr();
  EXPECT_EQ(dmessage(DMCdata, "bad data", "f.cpp", 3), 0x0Fu);  // the call hook took over
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  dmessage_call = nullptr;

  dmessage_class_flags[DMCmemory] = DMAalert | DMAexit;
  dmessage_class_flags[DMCassert] = DMArecord | DMAabort;
  EXPECT_EQ(dmessage(DMCmemory, "m", nullptr, 0), static_cast<uint32_t>(DMAexit));
  EXPECT_EQ(last_exit, 1);
  dmessage_alert = [](const char*) { return 1; };
  EXPECT_EQ(dmessage(DMCmemory, "m", nullptr, 0), static_cast<uint32_t>(DMAalert | DMAexit));
  dmessage_alert = [](const char*) { return 0; };
  EXPECT_EQ(dmessage(DMCmemory, "m", nullptr, 0), static_cast<uint32_t>(DMAexit));
  int x = 3;
  EXPECT_FALSE(DMASSERT(x == 4));
  EXPECT_STREQ(dmessage_record[DMCassert], "assertion failed ! (x == 4)");
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(dmessage_class_done[DMCassert], static_cast<uint32_t>(DMArecord | DMAabort));
  EXPECT_TRUE(DMASSERT(x == 3));
  EXPECT_EQ(dmessage_last_class, static_cast<unsigned>(DMCassert));
  // An invariant named in other words than the code's condition prints those words.
  EXPECT_FALSE(DMASSERT_AS(x > 3, "toPurge > 0"));
  EXPECT_STREQ(dmessage_record[DMCassert], "assertion failed ! (toPurge > 0)");
  EXPECT_EQ(aborts, 2);
  EXPECT_TRUE(DMASSERT_AS(x == 3, "never printed"));
  EXPECT_EQ(aborts, 2);
}

TEST_F(DMessageTest, LongOrSelfQuotingMessagesAreSafe) {
  dmessagef(DMCtrace, nullptr, 0, "open %s", std::string(5000, 'p').c_str());
  EXPECT_EQ(std::strlen(dmessage_record[DMCtrace]), static_cast<size_t>(DMESSAGE_BUFSIZ - 1));
  // The text passed in is the class's own recorded copy, which recording replaces.
  dmessage(DMCwarning, "repeat me", nullptr, 0);
  dmessage(DMCwarning, dmessage_record[DMCwarning], nullptr, 0);
  EXPECT_STREQ(dmessage_record[DMCwarning], "repeat me");
  // A formatted message may quote the shared buffer itself.
  dmessagef(DMCtrace, nullptr, 0, "inner %d", 7);
  dmessagef(DMCtrace, nullptr, 0, "outer (%s) %s", dmessage_buf, "end");
  EXPECT_STREQ(dmessage_record[DMCtrace], "outer (inner 7) end");
}

TEST_F(DMessageTest, RawBlocksCountReferences) {
  void* p = MobjMemAlloc(100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
  MemObject* mo = MobjHeader(p);
  EXPECT_EQ(mo->RetainCount(), 1);
  mo->Retain();
  MOMrelease(p);
  EXPECT_EQ(mo->RetainCount(), 1);
  MOMrelease(nullptr);  // ignored
  // A block whose free routine is null is never freed; a release below zero is refused.
  mo->freo = nullptr;
  MOMrelease(p);
  dmessage_class_flags[DMCparameter] = DMArecord;
  MOMrelease(p);
  EXPECT_STREQ(dmessage_record[DMCparameter], "Negative reference count (-1)");
  mo->nref = 1;
  mo->freo = SysFree;
  MOMrelease(p);
}

}  // namespace
