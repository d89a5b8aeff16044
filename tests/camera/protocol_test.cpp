// The pure protocol pieces: the command table, formatting into the 64-byte buffer, the reply
// reader's byte rules, the status and item lines, the capability tests and the checksums.

#include "camera/camera_status.h"
#include "camera/command_table.h"
#include "camera/item_line.h"

#include <gtest/gtest.h>

#include <string>

using namespace kv::camera;

namespace {

kv::ByteSpan span(std::string_view s) {
    return kv::ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

std::string text(kv::ByteSpan s) {
    return std::string(s.begin(), s.end());
}

std::string formatted(int number, std::initializer_list<CommandArg> args) {
    CommandText out;
    if (formatCommand(number, args, out) != kv::status::Ok)
        return "<refused>";
    return std::string(out.view());
}

std::string statusLine(std::string body) {
    body.resize(126, ' ');
    return body + "\r\n";
}

} // namespace

TEST(CommandTable, HasFiftyOneRowsWithTheirReplyLengths) {
    for (int n = 0; n < cmd::Count; ++n) {
        const CommandRow* row = commandRow(n);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->number, n);
        const int expected = n == cmd::Status ? 128 : n == cmd::Wake ? 0 : 4;
        EXPECT_EQ(row->replyLength, expected) << "row " << n;
    }
    EXPECT_EQ(commandRow(-1), nullptr);
    EXPECT_EQ(commandRow(51), nullptr);
    EXPECT_TRUE(isLongWaitRow(cmd::SelectItem, false));
    EXPECT_TRUE(isLongWaitRow(cmd::CloseFile, false));
    EXPECT_FALSE(isLongWaitRow(cmd::Status, false));
    EXPECT_TRUE(isLongWaitRow(cmd::Status, true));
    EXPECT_FALSE(isLongWaitRow(cmd::ReadBlock, true));
}

TEST(CommandTable, FormatsCommandsForTheWire) {
    const std::string name52(52, 'N'); // "B0;" + 52 + ",0,128" = 61 characters: fits exactly
    const std::string name53(53, 'N');
    struct Case {
        std::string got, want;
    } cases[] = {
        {formatted(cmd::SetRate, {115200}), "K0;115200\r\n"},
        {formatted(cmd::SelectItem, {3, 0, 1, 0}), "B0;3,0,1,0\r\n"},
        {formatted(cmd::Status, {}), "I0\r\n"},
        {formatted(cmd::Wake, {}), "\r\n"},
        {formatted(cmd::WriteGain, {8192L, 8192, 0xFFFF}), "D1;8192,8192,65535\r\n"},
        {formatted(cmd::FocusZ7, {1, -2, 3, 4, 5}), "Z7;1,-2,3,4,5\r\n"},
        {formatted(cmd::OpenFile, {"*<A:P0000001.JPG>", 0, 128}), "B0;*<A:P0000001.JPG>,0,128\r\n"},
        {formatted(cmd::ListFiles, {std::string("*<*.jpg>"), 1}), "B5;*<*.jpg>,1\r\n"},
        // %d takes a C int: the low 32 bits; %ld the whole value.
        {formatted(cmd::Exposure, {0x100000005L}), "E0;5\r\n"},
        {formatted(cmd::ReadDram, {0x100000000L, 1}), "U0;4294967296,1\r\n"},
        {formatted(cmd::OpenFile, {name52, 0, 128}), "B0;" + name52 + ",0,128\r\n"},
        // Refused, never cut: too long, wrong count, wrong kind, unknown row.
        {formatted(cmd::OpenFile, {name53, 0, 128}), "<refused>"},
        {formatted(cmd::SetRate, {}), "<refused>"},
        {formatted(cmd::SetRate, {1, 2}), "<refused>"},
        {formatted(cmd::SetRate, {"fast"}), "<refused>"},
        {formatted(cmd::OpenFile, {1, 0, 128}), "<refused>"},
        {formatted(99, {}), "<refused>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want);
    CommandText out;
    ASSERT_EQ(formatCommand(cmd::OpenFile, {name52, 0, 128}, out), kv::status::Ok);
    EXPECT_EQ(out.length, 63u);
    EXPECT_EQ(out.bytes[63], '\0');
}

TEST(ReplyReader, DropsStateNoticesAndWaitsForAFullReply) {
    struct Case {
        std::string wire;
        std::size_t length;
        ReplyAssembler::Step last;
        std::string reply;
    } cases[] = {
        {"OK\r\n", 4, ReplyAssembler::Step::Complete, "OK\r\n"},
        {"bOK\r\n", 4, ReplyAssembler::Step::Complete, "OK\r\n"},
        {"bbbOK\r\n", 4, ReplyAssembler::Step::Complete, "OK\r\n"},
        {"OdK\r\n", 4, ReplyAssembler::Step::Complete, "OK\r\n"},
        {"rOK\rd\n", 4, ReplyAssembler::Step::Complete, "OK\r\n"},
        // 'b' counts as a byte once something was kept.
        {"ObK\r\n", 4, ReplyAssembler::Step::Complete, "bK\r\n"},
        // A short reply is not accepted at its CR LF.
        {"A\r\n", 4, ReplyAssembler::Step::NeedMore, ""},
        // The last `length` bytes before CR LF are the reply.
        {"xxNG\r\n", 4, ReplyAssembler::Step::Complete, "NG\r\n"},
        {"\r\n", 1, ReplyAssembler::Step::Complete, "\n"},
    };
    for (const Case& c : cases) {
        ReplyAssembler a(c.length);
        ReplyAssembler::Step step = ReplyAssembler::Step::NeedMore;
        for (char ch : c.wire)
            step = a.feed(static_cast<std::uint8_t>(ch));
        EXPECT_EQ(step, c.last) << c.wire;
        if (step == ReplyAssembler::Step::Complete) {
            EXPECT_EQ(text(a.reply()), c.reply) << c.wire;
        }
    }
}

TEST(ReplyReader, GivesUpAfter128BytesWithoutALineEnd) {
    ReplyAssembler a(4);
    ReplyAssembler::Step step = ReplyAssembler::Step::NeedMore;
    int fed = 0;
    while (step == ReplyAssembler::Step::NeedMore && fed < 1000) {
        step = a.feed(fed == 0 ? 'X' : static_cast<std::uint8_t>('A' + fed % 7));
        ++fed;
    }
    EXPECT_EQ(step, ReplyAssembler::Step::Full);
    EXPECT_EQ(fed, 128);
    EXPECT_EQ(text(a.head()).substr(0, 1), "X");
    EXPECT_EQ(a.head().size(), 4u);
    EXPECT_EQ(a.feed('\n'), ReplyAssembler::Step::Full); // nothing past the work area

    // The status line fills exactly 128 bytes.
    const std::string line = statusLine("Type: 1 S/W: 3.01");
    ReplyAssembler s(128);
    for (char ch : line)
        step = s.feed(static_cast<std::uint8_t>(ch));
    EXPECT_EQ(step, ReplyAssembler::Step::Complete);
    EXPECT_EQ(text(s.reply()), line);
}

TEST(StatusLine, ParsesEveryFieldAndKeepsUnmatchedOnes) {
    const std::string full = statusLine("Type: 4097 S/W: 2.10 S/N: 1090518974 Pix: 12 Bat: 999 "
                                        "EStat: 3 E0;7 E1;1 F0;0 Q0;2 S0;0 No. 9");
    CameraStatus s;
    EXPECT_EQ(parseStatusLine(span(full), s), 12);
    EXPECT_EQ(s.type, 4097);
    EXPECT_EQ(s.firmwareText(), "2.10");
    EXPECT_EQ(s.serialNumber, 1090518974);
    EXPECT_EQ(s.pictures, 12);
    EXPECT_EQ(s.battery, 999);
    EXPECT_EQ(s.errorStatus, 3);
    EXPECT_EQ(s.exposureTime, 7);
    EXPECT_EQ(s.autoExposure, 1);
    EXPECT_EQ(s.flash, 0);
    EXPECT_EQ(s.quality, 2); // variant B: the new field
    EXPECT_EQ(s.legacyQuality, 0);
    EXPECT_EQ(s.sound, 0);
    EXPECT_EQ(s.number, 9);
    EXPECT_FALSE(s.picturesFlag);

    // A field that does not match ends the scan: it and all after it keep their values.
    CameraStatus kept = s;
    const std::string broken =
        statusLine("Type: 1 S/W: 3.50 S/N: 77 Pix: many Bat: 5 EStat: 0 E0;1 E1;0 F0;1");
    EXPECT_EQ(parseStatusLine(span(broken), kept), 3);
    EXPECT_EQ(kept.type, 1);
    EXPECT_EQ(kept.serialNumber, 77);
    EXPECT_EQ(kept.pictures, 12);
    EXPECT_EQ(kept.battery, 999);
    EXPECT_EQ(kept.flash, 0);

    // Garbage, an empty line and NUL bytes change nothing.
    for (std::string junk : {std::string(128, '\xff'), std::string(128, '\0'), std::string(),
                             std::string("Type: \0 12", 10)}) {
        CameraStatus same = s;
        EXPECT_EQ(parseStatusLine(span(junk), same), 0);
        EXPECT_EQ(same.type, s.type);
        EXPECT_EQ(same.firmwareText(), s.firmwareText());
    }
}

TEST(StatusLine, QualityPicturesFlagAndWideValues) {
    struct Case {
        std::string line;
        std::int16_t quality, legacyQuality;
        bool flag;
    } cases[] = {
        // Plain camera with old firmware: the old field; 3.0 and up: the new one.
        {"Type: 1 S/W: 2.99 S/N: 1 Pix: 5 Bat: 1 EStat: 0 E0;1 E1;0 F0;1 Q0;1 S0;1 No. 0", 70, 1,
         false},
        {"Type: 1 S/W: 3.0 S/N: 1 Pix: 5 Bat: 1 EStat: 0 E0;1 E1;0 F0;1 Q0;1 S0;1 No. 0", 1, 0,
         false},
        {"Type: 4096 S/W: 1.0 S/N: 1 Pix: -99 Bat: 1 EStat: 0 E0;1 E1;0 F0;1 Q0;3 S0;1 No. 4", 3, 0,
         true},
        // Pix and EStat are read wide and keep their low 16 bits.
        {"Type: 1 S/W: 3.1 S/N: 1 Pix: 65537 Bat: 1 EStat: -65536 E0;1 E1;0 F0;1 Q0;0 S0;1 No. 0",
         0, 0, false},
    };
    for (const Case& c : cases) {
        CameraStatus s;
        parseStatusLine(span(statusLine(c.line)), s);
        EXPECT_EQ(s.quality, c.quality) << c.line;
        EXPECT_EQ(s.legacyQuality, c.legacyQuality) << c.line;
        EXPECT_EQ(s.picturesFlag, c.flag) << c.line;
    }
    CameraStatus s;
    parseStatusLine(span(statusLine(cases[3].line)), s);
    EXPECT_EQ(s.pictures, 1);
    EXPECT_EQ(s.errorStatus, 0);
}

TEST(StatusLine, OverlongFirmwareIsCutAndTheRestStillParses) {
    CameraStatus s;
    const std::string line = statusLine("Type: 1 S/W: 3.0123456789012345 S/N: 42 Pix: 1 Bat: 50");
    EXPECT_EQ(parseStatusLine(span(line), s), 5);
    EXPECT_EQ(s.firmwareText(), "3.012345678");
    EXPECT_EQ(s.serialNumber, 42);
    EXPECT_EQ(s.battery, 50);
}

TEST(CameraStatus, CapabilityTests) {
    struct Case {
        std::uint16_t type;
        const char* firmware;
        bool fileSystem, variantB, newFirmware, newFirmwareA;
    } cases[] = {
        {0x0001, "2.99", false, false, false, false}, {0x0001, "3.00", false, false, true, true},
        {0x0401, "3.5", true, false, true, true},     {0x1001, "1.99", false, true, false, false},
        {0x1001, "2.0", false, true, true, false},    {0x1401, "2.022", true, true, true, false},
        {0x0001, "", false, false, false, false},     {0x0001, "x3", false, false, false, false},
    };
    for (const Case& c : cases) {
        CameraStatus s;
        s.type = c.type;
        std::snprintf(s.firmware.data(), s.firmware.size(), "%s", c.firmware);
        EXPECT_EQ(s.hasFileSystem(), c.fileSystem) << c.type << " " << c.firmware;
        EXPECT_EQ(s.variantB(), c.variantB) << c.type << " " << c.firmware;
        EXPECT_EQ(s.hasNewFirmware(), c.newFirmware) << c.type << " " << c.firmware;
        EXPECT_EQ(s.hasNewFirmwareA(), c.newFirmwareA) << c.type << " " << c.firmware;
    }
}

TEST(ItemLine, ParsesFieldsInOrderAndStopsAtAMismatch) {
    ItemLine item = parseItemLine(span("0,3,20000,0,4,1,3,-7\r\n"));
    EXPECT_EQ(item.fieldsRead, 8);
    EXPECT_EQ(item.status, 0);
    EXPECT_EQ(item.number, 3);
    EXPECT_EQ(item.size, 20000);
    EXPECT_EQ(item.kind, 0);
    EXPECT_EQ(item.exposure, 4);
    EXPECT_EQ(item.flash, 1);
    EXPECT_EQ(item.quality, 3);
    EXPECT_EQ(item.attribute, -7);

    item = parseItemLine(span("-1,0,0\r\n"));
    EXPECT_EQ(item.fieldsRead, 3);
    EXPECT_EQ(item.status, -1);

    item = parseItemLine(span("0;5,100"));
    EXPECT_EQ(item.fieldsRead, 1);
    EXPECT_EQ(item.number, 0);

    item = parseItemLine(span(std::string("0,\0"
                                          "5",
                                          4)));
    EXPECT_EQ(item.fieldsRead, 1);

    // A size beyond 64 bits saturates there and keeps its low 32 bits: never a crash.
    item = parseItemLine(span("0,1,99999999999999999999999,0"));
    EXPECT_EQ(item.fieldsRead, 4);
    EXPECT_EQ(item.size, -1);
}

TEST(Checksums, BlockSumsAndWordSums) {
    std::vector<std::uint8_t> block(20000, 0xFF);
    EXPECT_EQ(blockChecksum(block), static_cast<std::uint16_t>(20000u * 255u));
    EXPECT_EQ(byteSum(block), 20000u * 255u);
    EXPECT_EQ(blockChecksum({}), 0);

    // Little-endian words; an odd trailing byte is not part of any word.
    const std::uint8_t words[] = {0x01, 0x02, 0xFE, 0xFD, 0x77};
    EXPECT_EQ(wordSum(words), 0xFFFF);
    const std::uint8_t wrap[] = {0xFF, 0xFF, 0x02, 0x00};
    EXPECT_EQ(wordSum(wrap), 0x0001);
}
