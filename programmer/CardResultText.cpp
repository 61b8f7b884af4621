// The operator's messages for the card operations' result codes.
#include "programmer/KpR50.h"

namespace kp {

namespace {

constexpr const char* kNoDescription = "Błąd, ale brak opisu błądu.";

constexpr const char* kResultTexts[] = {
    nullptr,                                                 // kCardOk: nothing to say
    "Brak karty w polu programatora.",                       // kCardNoCard
    "Karta innego typu (nie DesFire) w polu programatora.",  // kCardOtherType
    "Karta jest pusta.",                                     // kCardEmpty
    "Karta już zawiera jakieś dane.",                        // kCardHoldsData
    "Niespodziewana zmiana Uid karty.",                      // kCardUidChanged
    "Błąd przygotowania karty Kp NOX.",                      // kCardPrepareFailed
    "Błąd przy zapisie pliku na karcie.",                    // kCardWriteFailed
    "Błąd przy kasowaniu karty.",                            // kCardEraseFailed
    "Błąd przy odczycie pliku z karty.",                     // kCardReadFailed
};

}  // namespace

const char* CardResultText(int32_t resultCode) {
  if (resultCode < kCardNoCard || resultCode > kCardReadFailed) return kNoDescription;
  return kResultTexts[resultCode];
}

}  // namespace kp
