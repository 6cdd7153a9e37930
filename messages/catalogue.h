// The program's texts, as Big5 (code page 950) bytes. Messages are named by
// their index everywhere; the other texts are captions and labels.
#pragma once

namespace tw {

constexpr int kMessageCount = 38;
extern const char* const kMessageCatalogue[kMessageCount];

// Indexes of the messages the program uses.
enum Msg : int {
  kMsgPatchDamaged = 0,
  kMsgWriteOutputFailed = 1,
  kMsgReadSourceFailed = 2,
  kMsgReadPatchFailed = 3,
  kMsgOpenSourceFailed = 5,
  kMsgTestModeOn = 6,
  kMsgBodyBufferFailed = 7,
  kMsgWriteIncludedFailed = 8,
  kMsgTempOpenFailed = 9,
  kMsgReplaceFailed = 10,
  kMsgChecksumWrong = 11,
  kMsgCarrierUnreadable = 12,
  kMsgCarrierOpenFailed = 13,
  kMsgNotAPatch = 14,
  kMsgWrongFormatVersion = 15,
  kMsgNoTargetFound = 16,
  kMsgCannotUpdate = 17,
  kMsgCheckingEntry = 18,
  kMsgSkippingIncluded = 19,
  kMsgWritingIncluded = 20,
  kMsgUpdatingEntry = 21,
  kMsgTestPassed = 24,
  kMsgCanApply = 25,
  kMsgApplied = 26,
  kMsgTargetFoundQuestion = 28,
  kMsgUsage = 29,
  kMsgBackupFailed = 31,
  kMsgCheckingTarget = 33,
  kMsgNoSourceOptional = 34,
  kMsgNoSourceRequired = 35,
  kMsgAlreadyUpdated = 36,
  kMsgOk = 37,
};

extern const char kCompressedBodyText[];
extern const char kUsageCaption[];
extern const char kLoadErrorCaption[];
extern const char kRunErrorCaption[];
extern const char kQuestionCaption[];
extern const char kClassFailureCaption[];
extern const char kCloseQuestionText[];
extern const char kCloseQuestionCaption[];
extern const char kWindowTitle[];
extern const char kExitButtonText[];
extern const char kStopButtonText[];
extern const char kApplyButtonText[];
extern const char kBrowseButtonText[];
extern const char kTargetLabel[];
extern const char kDescriptionLabel[];
extern const char kProgressLabel[];
extern const char kLinksLabel[];
extern const char kLink1Text[];
extern const char kLink2Text[];
extern const char kBrowseTitle[];
extern const char kCurrentFolderWords[];
// Another run holds the target folder.
extern const char kTargetBusyText[];
// Several installed files match an entry's name ignoring case (%m: the entry).
extern const char kAmbiguousNameText[];
// The patch's backup folder would mix with the application's own files.
extern const char kBackupFolderClashText[];

}  // namespace tw
