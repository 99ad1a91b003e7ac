// The CANopen protocol component against CiA 301 frames in can-utils notation
// ("605#4008100000000000": identifier, '#', data bytes in hex), grouped by service.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/nmt.h"
#include "canopen/objects.h"
#include "canopen/sdo.h"
#include "canopen/sdo_abort.h"

namespace co = korvel::canopen;
using co::SdoKind;

namespace {

std::string text(int id, const std::uint8_t* b, std::size_t n) {
  char s[8];
  std::snprintf(s, sizeof s, "%03X#", static_cast<unsigned>(id));
  std::string t = s;
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(s, sizeof s, "%02X", b[i]);
    t += s;
  }
  return t;
}
std::string text(int id, const co::SdoData& d) { return text(id, d.data(), d.size()); }
std::string text(const co::Frame& f) { return text(f.cob_id, f.data.data(), f.len); }

// The data bytes of a frame in notation.
std::vector<std::uint8_t> bytes(const std::string& frame) {
  std::vector<std::uint8_t> b;
  for (std::size_t i = frame.find('#') + 1; i + 1 < frame.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(std::stoul(frame.substr(i, 2), nullptr, 16)));
  return b;
}
co::SdoMessage response(const std::string& frame) {
  const std::vector<std::uint8_t> b = bytes(frame);
  return co::decode_sdo_response(b.data(), b.size());
}
co::SdoMessage request(const std::string& frame) {
  const std::vector<std::uint8_t> b = bytes(frame);
  return co::decode_sdo_request(b.data(), b.size());
}
std::string data_of(const co::SdoMessage& m) {
  return std::string(m.data.begin(), m.data.begin() + static_cast<long>(m.data_len));
}

const std::uint8_t kText[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
constexpr int kNode = 5;

}  // namespace

TEST(CobId, PredefinedConnectionSetOfNodeFive) {
  EXPECT_EQ(co::emcy_id(kNode), 0x085);
  EXPECT_EQ(co::sdo_response_id(kNode), 0x585);
  EXPECT_EQ(co::sdo_request_id(kNode), 0x605);
  EXPECT_EQ(co::error_control_id(kNode), 0x705);
  const int tpdos[] = {0x185, 0x285, 0x385, 0x485}, rpdos[] = {0x205, 0x305, 0x405, 0x505};
  for (int pdo = 1; pdo <= co::kDefaultPdos; ++pdo) {
    EXPECT_EQ(co::tpdo_id(pdo, kNode), tpdos[pdo - 1]);
    EXPECT_EQ(co::rpdo_id(pdo, kNode), rpdos[pdo - 1]);
  }
  EXPECT_FALSE(co::valid_node_id(0));
  EXPECT_TRUE(co::valid_node_id(127));
  EXPECT_FALSE(co::valid_node_id(128));
}

TEST(Objects, PdoParameterRangesStartWithPdoOne) {
  EXPECT_EQ(co::object::rpdo_communication(1), co::object::kRpdoCommunicationFirst);
  EXPECT_EQ(co::object::tpdo_mapping(1), 0x1A00);
  EXPECT_EQ(co::object::rpdo_mapping(co::object::kMaxPdos), co::object::kRpdoMappingLast);
  EXPECT_EQ(co::object::tpdo_communication(co::object::kMaxPdos),
            co::object::kTpdoCommunicationLast);
}

TEST(Nmt, CommandsAndErrorControlFrames) {
  EXPECT_EQ(text(co::nmt_frame(co::NmtCommand::kStart, kNode)), "000#0105");
  EXPECT_EQ(text(co::nmt_frame(co::NmtCommand::kResetNode, co::kNmtAllNodes)), "000#8100");
  EXPECT_EQ(text(co::error_control_frame(kNode, co::NmtState::kBootUp)), "705#00");
  EXPECT_EQ(text(co::error_control_frame(kNode, co::NmtState::kPreOperational, true)), "705#FF");
  EXPECT_EQ(co::nmt_state_of(0x85), co::NmtState::kOperational);
  EXPECT_TRUE(co::guarding_toggle_of(0x85));
  EXPECT_FALSE(co::guarding_toggle_of(0x7F));
}

TEST(Sdo, ClientRequestsEncodeAndDecodeBack) {
  const std::uint8_t ms500[] = {0xF4, 0x01};
  const std::vector<std::pair<co::SdoData, std::string>> cases = {
      {co::sdo_initiate_upload_request(0x1008, 0), "605#4008100000000000"},
      {co::sdo_upload_segment_request(false), "605#6000000000000000"},
      {co::sdo_upload_segment_request(true), "605#7000000000000000"},
      {co::sdo_initiate_download_expedited(0x1017, 0, ms500, 2), "605#2B171000F4010000"},
      {co::sdo_initiate_download_expedited(0x2000, 1, kText, 4), "605#2300200130313233"},
      {co::sdo_initiate_download_expedited(0x2000, 1, kText, 9), "605#2300200130313233"},
      {co::sdo_initiate_download_expedited(0x2000, 1, kText, 0), "605#2200200100000000"},
      {co::sdo_initiate_download_segmented(0x2000, 1, 10), "605#210020010A000000"},
      {co::sdo_download_segment_request(false, kText, 7, false), "605#0030313233343536"},
      {co::sdo_download_segment_request(true, kText + 7, 3, true), "605#1937383900000000"},
      {co::sdo_download_segment_request(true, kText, 9, true), "605#1130313233343536"},
      {co::sdo_abort_transfer(0x1008, 0, co::SdoAbort::kOutOfMemory), "605#8008100005000405"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(0x605, c.first), c.second);

  const co::SdoMessage upload = request("605#4008100000000000");
  EXPECT_EQ(upload.kind, SdoKind::kInitiateUpload);
  EXPECT_EQ(upload.index, 0x1008);
  const co::SdoMessage write = request("605#2B171000F4010000");
  EXPECT_EQ(write.kind, SdoKind::kInitiateDownload);
  EXPECT_TRUE(write.expedited && write.size_indicated);
  EXPECT_EQ(co::get_le16(write.data.data()), 500);
  EXPECT_EQ(write.data_len, 2u);
  const co::SdoMessage last = request("605#1937383900000000");
  EXPECT_EQ(last.kind, SdoKind::kDownloadSegment);
  EXPECT_TRUE(last.toggle && last.last);
  EXPECT_EQ(data_of(last), "789");
  // 0x60 from a client asks for an upload segment, from a server it answers an initiate.
  EXPECT_EQ(request("605#6000000000000000").kind, SdoKind::kUploadSegment);
  EXPECT_EQ(response("585#6000000000000000").kind, SdoKind::kInitiateDownload);
}

TEST(Sdo, ServerResponsesEncodeAndDecodeBack) {
  const std::vector<std::pair<co::SdoData, std::string>> cases = {
      {co::sdo_initiate_upload_expedited(0x1008, 0, kText, 1), "585#4F08100030000000"},
      {co::sdo_initiate_upload_segmented(0x1008, 0, 10), "585#410810000A000000"},
      {co::sdo_upload_segment_response(false, kText, 7, false), "585#0030313233343536"},
      {co::sdo_upload_segment_response(true, kText + 7, 3, true), "585#1937383900000000"},
      {co::sdo_initiate_download_response(0x1017, 0), "585#6017100000000000"},
      {co::sdo_download_segment_response(true), "585#3000000000000000"},
      {co::sdo_abort_transfer(0x6000, 0, co::SdoAbort::kNoObject), "585#8000600000000206"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(0x585, c.first), c.second);

  const co::SdoMessage one = response("585#4F08100030000000");
  EXPECT_EQ(one.kind, SdoKind::kInitiateUpload);
  EXPECT_TRUE(one.expedited && one.has_object && !one.truncated);
  EXPECT_EQ(data_of(one), "0");
  const co::SdoMessage announce = response("585#410810000A000000");
  EXPECT_TRUE(!announce.expedited && announce.size_indicated);
  EXPECT_EQ(announce.size, 10u);
  const co::SdoMessage segment = response("585#0030313233343536");
  EXPECT_EQ(segment.kind, SdoKind::kUploadSegment);
  EXPECT_FALSE(segment.toggle || segment.last);
  EXPECT_EQ(data_of(segment), "0123456");
  EXPECT_TRUE(response("585#3000000000000000").toggle);
  const co::SdoMessage abort = response("585#8000600000000206");
  EXPECT_EQ(abort.kind, SdoKind::kAbort);
  EXPECT_EQ(abort.index, 0x6000);
  EXPECT_EQ(abort.abort_code, co::code_of(co::SdoAbort::kNoObject));
}

// What devices send beside the rules: short frames, no size, reserved bits, other services.
TEST(Sdo, DecoderToleratesWhatDevicesSend) {
  const co::SdoMessage unsized = response("585#4209100048573132");
  EXPECT_FALSE(unsized.size_indicated || unsized.truncated);
  EXPECT_EQ(data_of(unsized), "HW12");
  EXPECT_EQ(data_of(response("585#42091000485731")), "HW1");  // as many as the frame carries
  EXPECT_TRUE(response("585#42091000").truncated);            // no data at all
  const co::SdoMessage short_data = response("585#4B08100041");
  EXPECT_TRUE(short_data.truncated);
  EXPECT_EQ(short_data.size, 2u);
  EXPECT_EQ(data_of(short_data), "A");
  const co::SdoMessage no_object = response("585#410810");
  EXPECT_EQ(no_object.kind, SdoKind::kInitiateUpload);
  EXPECT_TRUE(!no_object.has_object && no_object.truncated);
  EXPECT_TRUE(response("585#4108100000").truncated);  // "s" without the size
  const co::SdoMessage short_segment = response("585#1937");
  EXPECT_TRUE(short_segment.truncated && short_segment.last);
  EXPECT_EQ(data_of(short_segment), "7");
  EXPECT_EQ(response("585#5F08100041000000").kind, SdoKind::kInitiateUpload);  // bit 4 set
  const co::SdoMessage short_abort = response("585#800810000002");
  EXPECT_EQ(short_abort.kind, SdoKind::kAbort);
  EXPECT_EQ(short_abort.abort_code, 0x0200u);
  EXPECT_TRUE(short_abort.truncated);
  EXPECT_EQ(response("585#A000000000000000").kind, SdoKind::kNone);  // block upload
  EXPECT_EQ(response("585#").kind, SdoKind::kNone);                  // remote request
  const std::uint8_t long_frame[12] = {0x4F, 0x08, 0x10, 0x00, 'X', 0, 0, 0, 9, 9, 9, 9};
  EXPECT_EQ(co::decode_sdo_response(long_frame, sizeof long_frame).data_len, 1u);
}

TEST(SdoAbort, TextsForOperators) {
  EXPECT_EQ(co::sdo_abort_text(0x06020000), "0x06020000 object does not exist");
  EXPECT_EQ(co::sdo_abort_text(co::code_of(co::SdoAbort::kCannotStoreDeviceState)),
            "0x08000022 data cannot be transferred or stored in the present device state");
  EXPECT_EQ(co::sdo_abort_text(0x12345678), "0x12345678 unknown abort code");
  EXPECT_EQ(co::sdo_abort_meaning(0), nullptr);
}

TEST(Endian, LeastSignificantByteFirst) {
  std::uint8_t b[8] = {};
  co::put_le32(b, 0x12345678);
  EXPECT_EQ(text(0, b, 4), "000#78563412");
  co::put_le64(b, 0x0102030405060708);
  EXPECT_EQ(text(0, b, 8), "000#0807060504030201");
  EXPECT_EQ(co::get_le64(b), 0x0102030405060708u);
  EXPECT_EQ(co::get_le32(b + 4), 0x01020304u);
  EXPECT_EQ(co::get_le16(b), 0x0708);
  EXPECT_EQ(co::get_le(b, 3), 0x060708u);
  co::put_le16(b, 0xBEEF);
  EXPECT_EQ(text(0, b, 3), "000#EFBE06");
}
