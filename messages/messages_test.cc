#include "messages/messages.h"

#include "messages/catalogue.h"
#include "platform/os.h"
#include "state/run_state.h"
#include "tests/test_util.h"
#include "state/front_end.h"

namespace tw {
namespace {

std::string Words() { return NativeText(kCurrentFolderWords); }

class MessagesTest : public TempDirTest {};

TEST_F(MessagesTest, PlaceholdersExpandAndOddPercentsStay) {
  g_run.PatchFilePath = "C:\\x.exe";
  g_run.EntryName = "data\\a.dat";
  g_run.TargetPath = "D:\\Games";
  EXPECT_EQ(ExpandMessage("%p|%m|%s|%n"), "C:\\x.exe|data\\a.dat|D:\\Games|\r\n");
  EXPECT_EQ(ExpandMessage("100%"), "100%");
  EXPECT_EQ(ExpandMessage("%x"), "%x");
  EXPECT_EQ(ExpandMessage("%N"), "%N");
  EXPECT_EQ(ExpandMessage("%%n"), "%\r\n");
  EXPECT_EQ(ExpandMessage(""), "");
}

TEST_F(MessagesTest, CurrentFolderShowsAsWordsAndLeadingDotBackslashIsDropped) {
  for (const char* t : {".", ".\\"}) {
    g_run.TargetPath = t;
    EXPECT_EQ(ExpandMessage("[%s]"), "[" + Words() + "]") << t;
  }
  g_run.TargetPath = ".\\Games";
  EXPECT_EQ(ExpandMessage("[%s]"), "[Games]");
  g_run.TargetPath = "";
  EXPECT_EQ(ExpandMessage("[%s]"), "[]");
  g_run.TargetPath = "..";
  EXPECT_EQ(ExpandMessage("[%s]"), "[..]");
}

TEST_F(MessagesTest, CatalogueHoldsExactBig5Bytes) {
  // Message 0, "錯誤! 這個更新程式壞掉囉! ", byte for byte.
  EXPECT_EQ(std::string(kMessageCatalogue[0]),
            "\xbf\xf9\xbb\x7e\x21\x20\xb3\x6f\xad\xd3\xa7\xf3\xb7\x73\xb5\x7b\xa6\xa1\xc3\x61\xb1"
            "\xbc\xc5\x6f\x21\x20");
  // " (y/n) " is plain ASCII; 37 is the continuation byte then "(ok)".
  EXPECT_EQ(std::string(kMessageCatalogue[32]), " (y/n) ");
  EXPECT_EQ(std::string(kMessageCatalogue[37]), "\x01(ok)");
  // Message 36 ends in the bopomofo letter and the tilde.
  EXPECT_EQ(std::string(kMessageCatalogue[36]).substr(0, 4), "\x01(\xa3\xab");
  // The caption of the load error keeps its trailing blank.
  EXPECT_EQ(std::string(kLoadErrorCaption), "\xa7\xf3\xb7\x73\xa6\xb3\xbf\xf9\xbb\x7e\x20");
  // The refused format version becomes part of the address of message 15.
  EXPECT_NE(std::string(kMessageCatalogue[15]).find("%s"), std::string::npos);
  // Every text converts to UTF-8 without a byte being passed through raw.
  for (int i = 0; i < kMessageCount; ++i) {
    std::string u = CatalogueText(i);
    for (size_t k = 0; k < u.size(); ++k) {
      unsigned char c = u[k];
      if (c >= 0x80) {
        int len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
        ASSERT_GE(c, 0xc2) << "message " << i;
        k += len - 1;
      }
    }
  }
}

TEST_F(MessagesTest, LogTextBuildsLinesAndTakesBackWithContinuationByte) {
  LogText("one\rtwo\r\nthree");
  EXPECT_EQ(g_fake.list, (std::vector<std::string>{"one ", "two ", "three "}));
  EXPECT_EQ(g_run.LogLineCount, 3);
  EXPECT_EQ(g_fake.top_index, 2);
  LogText("four\r\n");  // the empty rest after CR LF adds nothing
  EXPECT_EQ(g_fake.list.size(), 4u);
  LogText("");
  EXPECT_EQ(g_fake.list.size(), 4u);
  LogText("\x01(ok)");
  EXPECT_EQ(g_fake.list.back(), "four(ok) ");
  EXPECT_EQ(g_run.LogLineCount, 4);
  LogText("\r");  // a CR on an empty line adds a blank line
  EXPECT_EQ(g_fake.list.back(), " ");
}

TEST_F(MessagesTest, ContinuationOnEmptyLogTakesNothingBack) {
  LogText("\x01x");
  EXPECT_EQ(g_fake.list, (std::vector<std::string>{"x "}));
  EXPECT_EQ(g_run.LogLineCount, 1);
}

TEST_F(MessagesTest, EntryLineIsCompletedByOutcome) {
  g_run.EntryName = "a.dat";
  LogMessage(kMsgUpdatingEntry);
  LogMessage(kMsgAlreadyUpdated);
  ASSERT_EQ(g_fake.list.size(), 1u);
  EXPECT_EQ(g_fake.list[0], MessageText(kMsgUpdatingEntry) +
                                CatalogueText(kMsgAlreadyUpdated).substr(1) + " ");
}

TEST_F(MessagesTest, ErrorTextStartingWithLineBreakLogsBlankLineFirst) {
  g_run.PatchFilePath = "C:\\x.exe";
  ReportError(MessageText(kMsgNotAPatch));
  ASSERT_EQ(g_fake.list.size(), 2u);
  EXPECT_EQ(g_fake.list[0], " ");
  EXPECT_NE(g_fake.list[1].find("C:\\x.exe"), std::string::npos);
  ASSERT_EQ(g_fake.boxes.size(), 1u);
  EXPECT_EQ(g_fake.boxes[0].caption, NativeText(kRunErrorCaption));
  EXPECT_EQ(g_fake.boxes[0].text.back(), ' ');
}

TEST_F(MessagesTest, AskUserAnswers) {
  g_fake.answers = {kAnswerYes, kAnswerNo};
  EXPECT_TRUE(AskUser(kMsgTargetFoundQuestion, "c", kBoxYesNo));
  EXPECT_FALSE(AskUser(kMsgTargetFoundQuestion, "c", kBoxYesNo));
  EXPECT_EQ(g_fake.boxes[0].type, kBoxYesNo | kBoxIconQuestion);
  g_fake.answers = {kAnswerCancel};
  try {
    AskUser(kMsgTargetFoundQuestion, "c", kBoxYesNo);
    FAIL();
  } catch (const PatchError& e) {
    EXPECT_EQ(e.text(), "Dummy");
  }
}

TEST_F(MessagesTest, RaisingDeletesTheBodyButKeepsOutput) {
  ASSERT_TRUE(g_run.OutputFile.Create(CorePath("out")));
  g_run.OutputOpen = true;
  g_run.BodyTempPath = CorePath("body");
  ASSERT_TRUE(g_run.BodyTempFile.Create(g_run.BodyTempPath));
  g_run.BodyTempOpen = true;
  g_run.TargetPath = ".";
  try {
    RaiseError(kMsgCannotUpdate);
    FAIL();
  } catch (const PatchError& e) {
    EXPECT_EQ(e.text(), MessageText(kMsgCannotUpdate));
    EXPECT_NE(e.text().find(Words()), std::string::npos);
  }
  EXPECT_EQ(ListNames(dir_), (std::vector<std::string>{"out", "temp"}));
  EXPECT_FALSE(g_run.OutputOpen || g_run.BodyTempOpen);
  EXPECT_FALSE(g_run.OutputFile.IsOpen());
}

}  // namespace
}  // namespace tw
