#ifndef KORVEX_LOGGING_REPORT_H_
#define KORVEX_LOGGING_REPORT_H_

#include <cstdint>

namespace belmor::korvex {

// The three parts of a report that say how bad it is, what kind of thing it
// is about and which stage raised it. The values are part of the automation
// interface that clients are built against, so they never change.

enum tagMsgLevel : int32_t {
  mlDebug = 0,
  mlInfo = 1,
  mlWarning = 2,
  mlError = 3,
  mlFatal = 4,
};

// mcCount reports carry a number of files as their code, mcSystem reports a
// system error code; the others carry a report code.
enum tagMsgClass : int32_t {
  mcSystem = 0,
  mcAsas = 1,
  mcModule = 2,
  mcCount = 3,
};

enum tagMsgOrigin : int32_t {
  moPReader = 0,
  moPChecker = 1,
  moPAnonymizer = 2,
  moPEncrypter = 3,
  moPSender = 4,
  moIGReceiver = 5,
  moIGChecker = 6,
  moPDownloader = 7,
  moPWriter = 8,
};

}  // namespace belmor::korvex

#endif  // KORVEX_LOGGING_REPORT_H_
