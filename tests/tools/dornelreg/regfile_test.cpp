// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The .reg text format and the argument parsers of dornelreg, without a registry: named
// rows of values and their lines, the reader's accepted variants, and every malformed line
// reported with its number.

#include "tools/dornelreg/regfile.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/dornelreg/regtool.h"

namespace dornelreg {
namespace {

using Bytes = std::vector<BYTE>;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Line(const std::string& name, DWORD type, const Bytes& data) {
    std::string error;
    const auto line = FormatValueLine(RegValue{name, type, data}, &error);
    EXPECT_TRUE(line.has_value()) << error;
    return line.value_or("");
}

std::vector<RegOperation> Parse(const std::string& text) {
    std::string error;
    auto operations = ParseRegFile(text, &error);
    EXPECT_TRUE(operations.has_value()) << error;
    return operations.value_or(std::vector<RegOperation>{});
}

std::string ParseError(const std::string& text) {
    std::string error;
    EXPECT_FALSE(ParseRegFile(text, &error).has_value()) << text;
    return error;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

TEST(RegFileWriter, ChoosesTheFormThatGivesBackTheExactBytes) {
    struct Row {
        const char* what;
        std::string name;
        DWORD type;
        Bytes data;
        std::string line;
    };
    const Row rows[] = {
        {"plain string", "TFTPDirectory", 1, B(std::string("C:\\dornel\\boot") + '\0'),
         "\"TFTPDirectory\"=\"C:\\\\dornel\\\\boot\""},
        {"quotes escaped", "Say \"hi\"", 1, B(std::string("a\"b") + '\0'),
         "\"Say \\\"hi\\\"\"=\"a\\\"b\""},
        {"empty string", "SpawnUser", 1, Bytes{0}, "\"SpawnUser\"=\"\""},
        {"utf-8 text", "Message00-00", 1,
         B(std::string("Gr\xc3\xbc\xc3\x9f"
                       "e") +
           '\0'),
         "\"Message00-00\"=\"Gr\xc3\xbc\xc3\x9f"
         "e\""},
        {"string without NUL", "IPAddress", 1, B("10.0.0.1"),
         "\"IPAddress\"=hex(1):31,30,2e,30,2e,30,2e,31"},
        {"zero-length string", "Z", 1, Bytes{}, "\"Z\"=hex(1):"},
        {"embedded NUL", "E", 1, Bytes{'a', 0, 'b', 0}, "\"E\"=hex(1):61,00,62,00"},
        {"two NULs", "E", 1, Bytes{'a', 0, 0}, "\"E\"=hex(1):61,00,00"},
        {"control character", "T", 1, Bytes{'a', '\t', 0}, "\"T\"=hex(1):61,09,00"},
        {"invalid utf-8", "U", 1, Bytes{0xff, 0xfe, 0}, "\"U\"=hex(1):ff,fe,00"},
        {"expand string", "LogDirectory", 2, B(std::string("%X%") + '\0'),
         "\"LogDirectory\"=hex(2):25,58,25,00"},
        {"dword", "Timeout", 4, Bytes{0x0f, 0, 0, 0}, "\"Timeout\"=dword:0000000f"},
        {"big dword", "Max", 4, Bytes{0x78, 0x56, 0x34, 0x12}, "\"Max\"=dword:12345678"},
        {"short dword", "Short", 4, Bytes{1, 2}, "\"Short\"=hex(4):01,02"},
        {"binary", "NumServers", 3, Bytes{1, 0, 0, 0}, "\"NumServers\"=hex:01,00,00,00"},
        {"empty binary", "None", 3, Bytes{}, "\"None\"=hex:"},
        {"multi string", "M", 7, Bytes{'a', 0, 0}, "\"M\"=hex(7):61,00,00"},
        {"type zero", "N", 0, Bytes{5}, "\"N\"=hex(0):05"},
        {"large type", "L", 0x12345678, Bytes{5}, "\"L\"=hex(12345678):05"},
        {"default value", "", 1, B(std::string("x") + '\0'), "@=\"x\""},
    };
    for (const Row& row : rows) EXPECT_EQ(Line(row.name, row.type, row.data), row.line) << row.what;
}

TEST(RegFileWriter, LongHexListsWrapAndReadBack) {
    const Bytes data(300, 0xab);
    const std::string line = Line("Blob", 3, data);
    std::size_t start = 0;
    int physical = 0;
    while (start < line.size()) {
        std::size_t end = line.find('\n', start);
        if (end == std::string::npos) end = line.size();
        EXPECT_LE(end - start, 80u);
        start = end + 1;
        ++physical;
    }
    EXPECT_GT(physical, 3);
    const auto ops = Parse(kHeader + "[HKEY_LOCAL_MACHINE\\A]\n" + line + "\n");
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[1].value.data, data);
}

TEST(RegFileWriter, RefusesNamesWithLineBreaks) {
    std::string error;
    EXPECT_FALSE(FormatValueLine(RegValue{"a\nb", 1, Bytes{0}}, &error).has_value());
    EXPECT_NE(error.find("line break"), std::string::npos);
    EXPECT_FALSE(FormatSectionLine("A\\b\rc", &error).has_value());
    EXPECT_EQ(FormatSectionLine("SOFTWARE\\X", &error).value_or(""),
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]");
}

TEST(RegFileReader, ReadsEveryFormAndOperation) {
    const auto ops = Parse(
        "\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the box configuration\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\r\n"
        "@=\"default\"\r\n"
        "\"NumServers\"=hex:01,00,00,00\r\n"
        "\"TFTPDirectory\"=\"C:\\\\dornel\\\\boot\"\r\n"
        "\"Timeout\"=dword:0000000F\r\n"
        "\"Wrapped\"=hex(2):41,\\\r\n"
        "  42,00\r\n"
        "\"Gone\"=-\r\n"
        "[-HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control]\r\n");
    ASSERT_EQ(ops.size(), 8u);
    EXPECT_EQ(ops[0].kind, RegOperation::Kind::CreateKey);
    EXPECT_EQ(ops[0].subKey, "SOFTWARE\\Orvane Technology\\ZuvexBox");
    EXPECT_EQ(ops[0].line, 4);
    EXPECT_EQ(ops[1].value.name, "");
    EXPECT_EQ(ops[1].value.data, B(std::string("default") + '\0'));
    EXPECT_EQ(ops[2].value.type, 3u);
    EXPECT_EQ(ops[2].value.data, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(ops[3].value.data, B(std::string("C:\\dornel\\boot") + '\0'));
    EXPECT_EQ(ops[4].value.type, 4u);
    EXPECT_EQ(ops[4].value.data, (Bytes{0x0f, 0, 0, 0}));
    EXPECT_EQ(ops[5].value.type, 2u);
    EXPECT_EQ(ops[5].value.data, (Bytes{'A', 'B', 0}));
    EXPECT_EQ(ops[6].kind, RegOperation::Kind::DeleteValue);
    EXPECT_EQ(ops[6].value.name, "Gone");
    EXPECT_EQ(ops[6].line, 11);
    EXPECT_EQ(ops[7].kind, RegOperation::Kind::DeleteKey);
    EXPECT_EQ(ops[7].subKey, "SOFTWARE\\Orvane Technology\\ZuvexBox\\Control");
}

TEST(RegFileReader, AcceptsUtf16FilesWithTheirBom) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
        u"\"N\"=\"caf\u00e9\"\r\n";
    std::string bytes = "\xff\xfe";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xff);
        bytes += static_cast<char>(unit >> 8);
    }
    const auto ops = Parse(bytes);
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[1].value.data, B(std::string("caf\xc3\xa9") + '\0'));
}

TEST(RegFileReader, RegeditFourHeaderAndRootSectionAreAccepted) {
    const auto ops = Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"X\"=dword:1\n");
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0].subKey, "");
    EXPECT_EQ(ops[1].value.data, (Bytes{1, 0, 0, 0}));
}

// ------------------------------------------------------------------------ error paths

TEST(RegFileReader, MalformedLinesAreReportedWithTheirNumber) {
    struct Row {
        const char* what;
        std::string text;
        std::string error;
    };
    const std::string section = "[HKEY_LOCAL_MACHINE\\A]\n";
    const Row rows[] = {
        {"empty file", "", "the file is empty"},
        {"wrong header", "REGEDIT5\n", "line 1: the file does not start with"},
        {"header after comments", "; c\n\nhello\n", "line 3: the file does not start"},
        {"unclosed section", kHeader + "[HKEY_LOCAL_MACHINE\\A\n",
         "line 3: a section line must end"},
        {"other root", kHeader + "[HKEY_CURRENT_USER\\A]\n", "line 3: Only HKEY_LOCAL_MACHINE"},
        {"unknown root", kHeader + "[SOFTWARE\\A]\n", "line 3: Invalid key name"},
        {"empty name", kHeader + "[HKLM\\A\\\\B]\n", "line 3: Invalid key name"},
        {"remote key", kHeader + "[\\\\host\\HKLM\\A]\n", "line 3: a .reg file names keys"},
        {"root deletion", kHeader + "[-HKEY_LOCAL_MACHINE]\n", "line 3: the root key cannot"},
        {"value before section", kHeader + "\"X\"=\"y\"\n", "line 3: a value line must follow"},
        {"value after deletion", kHeader + "[-HKLM\\A]\n\"X\"=\"y\"\n",
         "line 4: a value line must"},
        {"missing equals", kHeader + section + "\"X\" \"y\"\n", "line 4: '=' is missing"},
        {"unclosed name", kHeader + section + "\"X=\"y\n", "line 4: '=' is missing"},
        {"unclosed data", kHeader + section + "\"X\"=\"y\n", "line 4: the closing quote"},
        {"bad escape", kHeader + section + "\"X\"=\"C:\\dornel\"\n", "line 4: a backslash"},
        {"text after data", kHeader + section + "\"X\"=\"y\" z\n", "line 4: unexpected text"},
        {"unknown data", kHeader + section + "\"X\"=qword:1\n", "line 4: unknown value data"},
        {"long dword", kHeader + section + "\"X\"=dword:123456789\n", "line 4: dword: needs"},
        {"bad dword", kHeader + section + "\"X\"=dword:12g4\n", "line 4: dword: needs"},
        {"bad hex", kHeader + section + "\"X\"=hex:01,0g\n", "line 4: bad hex list"},
        {"long hex item", kHeader + section + "\"X\"=hex:010\n", "line 4: bad hex list"},
        {"empty hex item", kHeader + section + "\"X\"=hex:01,,02\n", "line 4: bad hex list"},
        {"bad hex type", kHeader + section + "\"X\"=hex(z):01\n", "line 4: hex(N) needs"},
        {"missing colon", kHeader + section + "\"X\"=hex 01\n", "line 4: ':' is missing"},
        {"continued past end", kHeader + section + "\"X\"=hex:01,\\\n",
         "line 4: the hex list continues"},
        {"stray line", kHeader + section + "NumServers=1\n", "line 4: expected a [key] section"},
        {"error after continuation", kHeader + section + "\"X\"=hex:01,\\\n  02\nbad\n", "line 6:"},
        {"odd utf-16", "\xff\xfe\x41", "odd number of bytes"},
    };
    for (const Row& row : rows) {
        const std::string error = ParseError(row.text);
        EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
    }
}

TEST(KeyNames, RootsAndPathsAsAdministratorsTypeThem) {
    struct Row {
        const char* text;
        const char* machine;
        const char* subKey;
    };
    const Row good[] = {
        {"HKLM\\SOFTWARE\\Orvane Technology", "", "SOFTWARE\\Orvane Technology"},
        {"hkey_local_machine\\Software", "", "Software"},
        {"hklm", "", ""},
        {"HKLM\\", "", ""},
        {"HKLM\\SOFTWARE\\X\\\\", "", "SOFTWARE\\X"},
        {"\\\\boxserver\\HKLM\\SOFTWARE", "boxserver", "SOFTWARE"},
    };
    for (const Row& row : good) {
        std::string error;
        const auto name = ParseKeyName(row.text, &error);
        ASSERT_TRUE(name.has_value()) << row.text << ": " << error;
        EXPECT_EQ(name->machine, row.machine) << row.text;
        EXPECT_EQ(name->subKey, row.subKey) << row.text;
    }
    for (const char* bad : {"SOFTWARE\\X", "HKCU\\Software", "HKLMX\\A", "", "HKLM\\A\\\\B",
                            "\\\\host", "\\\\\\HKLM"}) {
        std::string error;
        EXPECT_FALSE(ParseKeyName(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(AddArguments, DwordAndBinaryData) {
    EXPECT_EQ(ParseDwordArgument("15"), (Bytes{15, 0, 0, 0}));
    EXPECT_EQ(ParseDwordArgument("0x0F"), (Bytes{15, 0, 0, 0}));
    EXPECT_EQ(ParseDwordArgument("4294967295"), (Bytes{0xff, 0xff, 0xff, 0xff}));
    EXPECT_EQ(ParseDwordArgument("0xdeadBEEF"), (Bytes{0xef, 0xbe, 0xad, 0xde}));
    for (const char* bad :
         {"", "-1", "+1", "4294967296", "0x", "0x123456789", "12a", "0xg", " 1"}) {
        EXPECT_FALSE(ParseDwordArgument(bad).has_value()) << bad;
    }
    EXPECT_EQ(ParseBinaryArgument("01000000"), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(ParseBinaryArgument("01,00,00,00"), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(ParseBinaryArgument("0a0B 0c"), (Bytes{0x0a, 0x0b, 0x0c}));
    EXPECT_EQ(ParseBinaryArgument(""), Bytes{});
    for (const char* bad : {"1", "010", "1,2", "0x01", "zz"}) {
        EXPECT_FALSE(ParseBinaryArgument(bad).has_value()) << bad;
    }
}

TEST(QueryFormat, DataColumnAndTypeNames) {
    EXPECT_EQ(FormatQueryData(1, B(std::string("abc") + '\0' + "hidden")), "abc");
    EXPECT_EQ(FormatQueryData(1, B("10.0.0.1")), "10.0.0.1");
    EXPECT_EQ(FormatQueryData(4, Bytes{0x0f, 0, 0, 0}), "0xf");
    EXPECT_EQ(FormatQueryData(4, Bytes{1, 2}), "0102");
    EXPECT_EQ(FormatQueryData(3, Bytes{0x01, 0xab}), "01AB");
    EXPECT_EQ(TypeName(1), "REG_SZ");
    EXPECT_EQ(TypeName(7), "REG_MULTI_SZ");
    EXPECT_EQ(TypeName(0x99), "0x99");
}

}  // namespace
}  // namespace dornelreg
