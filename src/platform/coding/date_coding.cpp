#include "platform/coding/date_coding.h"

namespace platform {

void encode(Encoder& encoder, const Date& date) {
  encoder.singleValueContainer()->encodeDate(date);
}

void decode(Decoder& decoder, Date& date) {
  date = decoder.singleValueContainer()->decodeDate();
}

}  // namespace platform
