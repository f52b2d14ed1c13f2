// The pure rules under the file services: wildcard matching, case folding,
// DOS path resolution and the DOS attribute text.
#include "files/CaseFolding.h"
#include "files/DosPath.h"
#include "files/DosAttributes.h"
#include "files/Wildcard.h"

#include <QTest>

#include <optional>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::string)

using Components = std::vector<std::string>;
Q_DECLARE_METATYPE(Components)

class TestNameRules : public QObject
{
    Q_OBJECT

private slots:
    void wildcardMatch_data();
    void wildcardMatch();
    void manyStarsStayFast();
    void simpleUpperCase_data();
    void simpleUpperCase();
    void utf8Validity_data();
    void utf8Validity();
    void resolveFolder_data();
    void resolveFolder();
    void splitPath_data();
    void splitPath();
    void dosAttributeText_data();
    void dosAttributeText();
};

void TestNameRules::wildcardMatch_data()
{
    QTest::addColumn<std::string>("pattern");
    QTest::addColumn<std::string>("name");
    QTest::addColumn<bool>("matches");

    const auto row = [](const char *tag, std::string pattern, std::string name, bool matches) {
        QTest::newRow(tag) << pattern << name << matches;
    };
    row("star dot star, dotless name", "*.*", "README", true);
    row("star dot star, dotted name", "*.*", "a.b.c", true);
    row("star alone", "*", "x.y", true);
    row("star dot, dotless", "*.", "README", true);
    row("star dot, dotted", "*.", "a.txt", false);
    row("prefix star dot, dotted", "a*.", "ab.c", false);
    row("extension, last dot", "*.txt", "a.b.txt", true);
    row("extension, not last", "*.txt", "a.txt.bak", false);
    row("extension, other case", "*.TXT", "notes.txt", true);
    row("extension, dotless", "*.txt", "txt", false);
    row("question, one char", "a?c", "abc", true);
    row("question, none in the middle", "a?c", "ac", false);
    row("question, never a dot", "a?c", "a.c", false);
    row("question before dot", "a?.txt", "a.txt", true);
    row("question before dot, one", "a?.txt", "ab.txt", true);
    row("questions at end", "a??", "a", true);
    row("questions, too long", "a??", "abcd", false);
    row("trailing dot dropped", "file.", "file", true);
    row("trailing dots and spaces", "file. . ", "file", true);
    row("dot star, dotless", "x.*", "x", true);
    row("dot star, dotted", "x.*", "x.y", true);
    row("dot question, dotless", "x.?", "x", true);
    row("dot star, other name", "x.*", "xy", false);
    row("dot star, dotless needed", "a.b.*", "a.b", false);
    row("literal", "options.ini", "OPTIONS.INI", true);
    row("literal, other", "options.ini", "options.inf", false);
    row("empty pattern", "", "a", false);
    row("only dots", "..", "a", false);
    row("stars collapse", "**a", "a", true);
    row("star in the middle", "a*z", "abcz", true);
    row("star in the middle, no end", "a*z", "abczq", false);
    row("Latin-1", "ÄRGER.TXT", "ärger.txt", true);
    row("Latin Extended-A", "ŁÓDŹ", "łódź", true);
    row("Greek", "ΑΒΓ*", "αβγδ", true);
    row("Greek final sigma", "ΟΔΟΣ", "\u03bf\u03b4\u03bf\u03c2", true);
    row("Cyrillic", "ПРИВЕТ.*", "привет.txt", true);
    row("long s is not S", "S", "ſ", false);
    row("dotless i is not I", "I*", "ı.txt", false);
    row("Kelvin sign is not K", "k", "\u212a", false);
    row("sharp s stays", "SS", "ß", false);
    row("question takes a whole character", "?.txt", "é.txt", true);
    row("invalid UTF-8, same bytes", "\xff*", "\xff.bin", true);
    row("invalid UTF-8, ASCII folded", "A\xff", "a\xff", true);
    row("invalid UTF-8 is not Latin-1", "\xe4", "\xc4", false);
    row("invalid byte is not its code point", "\xe4", "ä", false);
}

void TestNameRules::wildcardMatch()
{
    QFETCH(std::string, pattern);
    QFETCH(std::string, name);
    QFETCH(bool, matches);
    QCOMPARE(::wildcardMatch(pattern, name), matches);
}

// A backtracking matcher takes years on this; the simulation takes a moment.
void TestNameRules::manyStarsStayFast()
{
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b";
    const std::string name(4000, 'a');
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!::wildcardMatch(pattern, name));
    QVERIFY(::wildcardMatch(pattern, name + "b"));
    QVERIFY2(timer.elapsed() < 2000, "matching must not backtrack");
}

void TestNameRules::simpleUpperCase_data()
{
    QTest::addColumn<uint>("character");
    QTest::addColumn<uint>("upper");

    QTest::newRow("ASCII") << 0x61u << 0x41u;
    QTest::newRow("digit") << 0x31u << 0x31u;
    QTest::newRow("e acute") << 0xE9u << 0xC9u;
    QTest::newRow("y diaeresis") << 0xFFu << 0x178u;
    QTest::newRow("micro sign") << 0xB5u << 0x39Cu;
    QTest::newRow("sharp s has none") << 0xDFu << 0xDFu;
    QTest::newRow("a macron") << 0x101u << 0x100u;
    QTest::newRow("dotless i has no ASCII one") << 0x131u << 0x131u;
    QTest::newRow("long s has no ASCII one") << 0x17Fu << 0x17Fu;
    QTest::newRow("z caron") << 0x17Eu << 0x17Du;
    QTest::newRow("capital stays") << 0x100u << 0x100u;
    QTest::newRow("final sigma") << 0x3C2u << 0x3A3u;
    QTest::newRow("omega tonos") << 0x3CEu << 0x38Fu;
    QTest::newRow("Cyrillic ya") << 0x44Fu << 0x42Fu;
    QTest::newRow("Cyrillic ie grave") << 0x450u << 0x400u;
    QTest::newRow("Cyrillic ghe upturn") << 0x491u << 0x490u;
    QTest::newRow("Greek with ypogegrammeni") << 0x1F80u << 0x1F88u;
    QTest::newRow("full-width a") << 0xFF41u << 0xFF21u;
    QTest::newRow("outside the BMP") << 0x10428u << 0x10428u;
}

void TestNameRules::simpleUpperCase()
{
    QFETCH(uint, character);
    QFETCH(uint, upper);
    QCOMPARE(uint(::simpleUpperCase(char32_t(character))), upper);
}

void TestNameRules::utf8Validity_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("ASCII") << std::string("abc") << true;
    QTest::newRow("two bytes") << std::string("\xc3\xa4") << true;
    QTest::newRow("four bytes") << std::string("\xf0\x90\x90\xa8") << true;
    QTest::newRow("lone continuation") << std::string("\x80") << false;
    QTest::newRow("overlong") << std::string("\xc0\x80") << false;
    QTest::newRow("overlong three") << std::string("\xe0\x80\xaf") << false;
    QTest::newRow("surrogate") << std::string("\xed\xa0\x80") << false;
    QTest::newRow("above U+10FFFF") << std::string("\xf4\x90\x80\x80") << false;
    QTest::newRow("cut short") << std::string("a\xe2\x82") << false;
}

void TestNameRules::utf8Validity()
{
    QFETCH(std::string, text);
    QFETCH(bool, valid);
    QCOMPARE(isValidUtf8(text), valid);
}

void TestNameRules::resolveFolder_data()
{
    QTest::addColumn<std::string>("path");
    QTest::addColumn<Components>("current");
    QTest::addColumn<bool>("found");
    QTest::addColumn<Components>("components");
    QTest::addColumn<bool>("belowCurrent");

    const Components root;
    const Components temp{"WINDOWS", "TEMP"};
    QTest::newRow("absolute") << std::string("C:\\WINDOWS\\TEMP") << root << true << temp << false;
    QTest::newRow("small drive letter, trailing") << std::string("c:\\windows\\") << temp << true
                                                  << Components{"windows"} << false;
    QTest::newRow("slashes") << std::string("C:/WINDOWS/TEMP/") << root << true << temp << false;
    QTest::newRow("doubled separators") << std::string("C:\\WINDOWS\\\\TEMP") << root << true << temp << false;
    QTest::newRow("root") << std::string("C:\\") << temp << true << root << false;
    QTest::newRow("root without drive") << std::string("\\WINDOWS") << temp << true << Components{"WINDOWS"}
                                        << false;
    QTest::newRow("current, empty") << std::string() << temp << true << temp << true;
    QTest::newRow("current, drive only") << std::string("C:") << temp << true << temp << true;
    QTest::newRow("relative") << std::string("SUB\\X") << temp << true
                              << Components{"WINDOWS", "TEMP", "SUB", "X"} << true;
    QTest::newRow("dot") << std::string(".\\SUB") << temp << true << Components{"WINDOWS", "TEMP", "SUB"}
                         << true;
    QTest::newRow("up and down") << std::string("..\\TEMP") << temp << true << temp << false;
    QTest::newRow("up inside") << std::string("C:\\A\\..\\B\\.") << root << true << Components{"B"} << false;
    QTest::newRow("above the root") << std::string("C:\\..") << root << false << root << false;
    QTest::newRow("above the root, relative") << std::string("..\\..\\..") << temp << false << root << false;
    QTest::newRow("other drive") << std::string("D:\\WINDOWS") << root << false << root << false;
    QTest::newRow("other drive, relative") << std::string("d:TEMP") << root << false << root << false;
    QTest::newRow("network path") << std::string("\\\\server\\share") << root << false << root << false;
}

void TestNameRules::resolveFolder()
{
    QFETCH(std::string, path);
    QFETCH(Components, current);
    QFETCH(bool, found);
    QFETCH(Components, components);
    QFETCH(bool, belowCurrent);

    const std::optional<DosFolderPath> resolved = resolveDosFolder(path, current);
    QCOMPARE(resolved.has_value(), found);
    if (found) {
        QCOMPARE(resolved->components, components);
        QCOMPARE(resolved->belowCurrent, belowCurrent);
    }
}

void TestNameRules::splitPath_data()
{
    QTest::addColumn<std::string>("path");
    QTest::addColumn<std::string>("folder");
    QTest::addColumn<std::string>("name");

    QTest::newRow("absolute") << std::string("C:\\WINDOWS\\TEMP\\*.*") << std::string("C:\\WINDOWS\\TEMP\\")
                              << std::string("*.*");
    QTest::newRow("drive relative") << std::string("C:*.*") << std::string("C:") << std::string("*.*");
    QTest::newRow("plain") << std::string("deleted.txt") << std::string() << std::string("deleted.txt");
    QTest::newRow("slash") << std::string("sub/x.txt") << std::string("sub/") << std::string("x.txt");
    QTest::newRow("trailing separator") << std::string("C:\\WINDOWS\\") << std::string("C:\\WINDOWS\\")
                                        << std::string();
}

void TestNameRules::splitPath()
{
    QFETCH(std::string, path);
    QFETCH(std::string, folder);
    QFETCH(std::string, name);
    const DosPathParts parts = splitDosPath(path);
    QCOMPARE(std::string(parts.folder), folder);
    QCOMPARE(std::string(parts.name), name);
}

void TestNameRules::dosAttributeText_data()
{
    QTest::addColumn<std::string>("value");
    QTest::addColumn<int>("bits"); // -1: no number, so the attributes cannot be told

    QTest::newRow("Wine's hex") << std::string("0x21") << 0x21;
    QTest::newRow("upper X") << std::string("0X2") << 0x2;
    QTest::newRow("decimal") << std::string("34") << 34;
    QTest::newRow("with NUL and more") << std::string("0x22\0\x03\x00\x04", 8) << 0x22;
    QTest::newRow("trailing newline") << std::string("0x1\n") << 0x1;
    QTest::newRow("zero") << std::string("0x0") << 0;
    QTest::newRow("empty") << std::string() << -1;
    QTest::newRow("NUL first") << std::string("\0" "0x21", 5) << -1;
    QTest::newRow("prefix only") << std::string("0x") << -1;
    QTest::newRow("garbage") << std::string("hidden") << -1;
    QTest::newRow("bad hex") << std::string("0xzz") << -1;
    QTest::newRow("digits then junk") << std::string("12ab") << -1;
    QTest::newRow("too big") << std::string("99999999999999999999") << -1;
}

void TestNameRules::dosAttributeText()
{
    QFETCH(std::string, value);
    QFETCH(int, bits);
    const std::optional<unsigned> parsed = parseDosAttributes(value);
    QCOMPARE(parsed.has_value(), bits >= 0);
    if (parsed)
        QCOMPARE(int(*parsed), bits);
}

QTEST_GUILESS_MAIN(TestNameRules)
#include "tst_name_rules.moc"
