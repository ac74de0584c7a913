// The fields that only the Windows build's action parameter list carries
// (core/ActionParameters.h): option flags, the two option bytes, the
// identification texts and the values beside the flash type name slot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ActionParameters.h"

namespace {

constexpr uint32_t kP = 0x30;  // parameter area offset used here

class WinActionFields : public ::testing::Test {
 protected:
  WinActionFields() : image_(kP + 1100, 0x00) { std::memset(&list_, 0, sizeof list_); }
  void Put(uint32_t offset, const std::string& text) {
    std::memcpy(image_.data() + kP + offset, text.data(), text.size());
  }
  void Fill() {
    FillActionOptionFields(image_.data(), static_cast<uint32_t>(image_.size()), kP, &list_);
  }
  std::vector<unsigned char> image_;
  _actionparamlist list_;
};

TEST_F(WinActionFields, EachOptionFlagComesFromItsBit) {
  struct Source {
    uint32_t byte;  // offset from P
    unsigned bit;
    bool inverted;
  };
  const Source sources[9] = {{16, 2, false}, {16, 4, false}, {17, 0, false},
                             {17, 1, false}, {17, 2, false}, {17, 3, false},
                             {18, 5, false}, {18, 4, true},  {19, 0, true}};
  for (int flag = 0; flag < 9; ++flag) {
    // Only this flag's source bit differs from the "all flags clear" state.
    image_[kP + 16] = 0x00;
    image_[kP + 17] = 0x00;
    image_[kP + 18] = 0x10;  // bit 4 set: flag 7 clear
    image_[kP + 19] = 0x01;  // bit 0 set: flag 8 clear
    image_[kP + sources[flag].byte] ^= static_cast<unsigned char>(1u << sources[flag].bit);
    Fill();
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(list_.OptionFlags[i], i == flag ? 1 : 0) << "source of flag " << flag;
    }
  }
  // Other bits of the four bytes are not read.
  image_[kP + 16] = static_cast<unsigned char>(~0x14);
  image_[kP + 17] = 0xF0;
  image_[kP + 18] = static_cast<unsigned char>(~0x30 | 0x10);
  image_[kP + 19] = 0xFF;
  Fill();
  for (int i = 0; i < 9; ++i) EXPECT_EQ(list_.OptionFlags[i], 0) << i;
}

TEST_F(WinActionFields, OptionBytesAndIdentificationTexts) {
  image_[kP + 38] = 0xA5;
  image_[kP + 39] = 0x3C;
  Put(256, "ZEDRIK  ");
  Put(264, "Bridge Storage  ");
  Put(280, "01  ");
  Fill();
  EXPECT_EQ(list_.Option38, 0xA5);
  EXPECT_EQ(list_.Option39, 0x3C);
  EXPECT_STREQ(list_.IdentVendor, "ZEDRIK");
  EXPECT_STREQ(list_.IdentProduct, "Bridge S");  // the first 8 of 16 bytes
  EXPECT_STREQ(list_.IdentRevision, "01");

  Put(256, "        ");
  Put(264, "  Disk  xxxxxxxx");
  Put(280, "1.00");
  Fill();
  EXPECT_STREQ(list_.IdentVendor, "");
  EXPECT_STREQ(list_.IdentProduct, "  Disk");  // leading blanks stay
  EXPECT_STREQ(list_.IdentRevision, "1.00");
}

TEST_F(WinActionFields, NameSlotValues) {
  image_[kP + 1072] = 0x34;
  image_[kP + 1073] = 0x12;
  image_[kP + 1074] = 1;
  image_[kP + 1075] = 0x78;
  image_[kP + 1076] = 0x56;
  image_[kP + 1077] = 0x34;
  image_[kP + 1078] = 0x12;
  image_[kP + 1079] = 0x5A;
  list_.NameSlotWord = 0xBEEF;
  FillActionNameSlotFields(image_.data(), static_cast<uint32_t>(image_.size()), kP, false,
                                   &list_);
  EXPECT_EQ(list_.NameSlotWord, 0xBEEF);  // only read with a name present
  EXPECT_EQ(list_.OptionalValuePresent, 1);
  EXPECT_EQ(list_.OptionalValue, 0x12345678u);
  EXPECT_EQ(list_.OptionalValueFlag, 0x5A);

  image_[kP + 1074] = 2;  // only 1 marks the value present
  FillActionNameSlotFields(image_.data(), static_cast<uint32_t>(image_.size()), kP, true,
                                   &list_);
  EXPECT_EQ(list_.NameSlotWord, 0x1234);
  EXPECT_EQ(list_.OptionalValuePresent, 0);
}

TEST_F(WinActionFields, FieldsOutsideTheImageStayAsTheyWere) {
  std::memset(&list_, 0x77, sizeof list_);
  const _actionparamlist before = list_;
  // An area offset near the end: none of the fields lies inside.
  FillActionOptionFields(image_.data(), 40, kP, &list_);
  FillActionNameSlotFields(image_.data(), 40, kP, true, &list_);
  // A huge offset must not wrap around.
  FillActionOptionFields(image_.data(), static_cast<uint32_t>(image_.size()),
                                 0xFFFFFFFFull, &list_);
  EXPECT_EQ(std::memcmp(&before, &list_, sizeof list_), 0);
  // Only the option bytes inside: the texts after them are not read.
  FillActionOptionFields(image_.data(), kP + 100, kP, &list_);
  EXPECT_EQ(std::memcmp(before.IdentVendor, list_.IdentVendor, sizeof list_.IdentVendor), 0);
  EXPECT_EQ(list_.Option38, 0);
}

}  // namespace
