// EDID files: what the panel reads out of an accepted file's base block, and
// any bytes of any length handled safely. (Which files are accepted is tested
// through the EDID page.)
#include <QtTest>

#include <random>
#include <vector>

#include "protocol/edidfile.h"
#include "protocol/frame.h"

using namespace talvane;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Bytes)

namespace {

void sealBlock(Bytes& f, std::size_t block)
{
    const std::size_t at = block * edidfile::kBlockSize;
    f[at + 127] = checksumOf(f.data() + at, 127);
}

// A base block as a display would hold it: manufacturer "TLV", product code
// 0x1234, made in 2024, a monitor name, and 1920x1080 at 60 Hz preferred.
Bytes knownEdid(std::size_t size = 128, int extensions = 0)
{
    Bytes f(size, 0);
    const std::uint8_t head[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                                 0x51, 0x96,  // T=20 L=12 V=22
                                 0x34, 0x12,  // product code, low byte first
                                 0x01, 0x00, 0x00, 0x00,
                                 0x01, 34};   // week 1 of 1990 + 34
    std::copy(std::begin(head), std::end(head), f.begin());
    f[18] = 1;
    f[19] = 3;
    // 148.5 MHz; 1920 + 280; 1080 + 45.
    const std::uint8_t timing[] = {0x02, 0x3A, 0x80, 0x18, 0x71, 0x38, 0x2D, 0x40};
    std::copy(std::begin(timing), std::end(timing), f.begin() + 54);
    const std::uint8_t name[] = {0x00, 0x00, 0x00, 0xFC, 0x00, 'T', 'A', 'L', 'V', 'A', 'N',
                                 'E', ' ', 'H', 'D', 0x0A, 0x20, 0x20};
    std::copy(std::begin(name), std::end(name), f.begin() + 72);
    f[126] = static_cast<std::uint8_t>(extensions);
    if (size == 256) {
        f[128] = 0x02;
        f[129] = 0x03;
        for (std::size_t i = 130; i < 200; ++i)
            f[i] = static_cast<std::uint8_t>(i * 5);
        sealBlock(f, 1);
    }
    sealBlock(f, 0);
    return f;
}

}  // namespace

class TestEdidFile : public QObject {
    Q_OBJECT
private slots:
    void describe_data();
    void describe();
    void anyBytesAreSafe();
};

void TestEdidFile::describe_data()
{
    QTest::addColumn<Bytes>("file");
    QTest::addColumn<QString>("summary");

    QTest::newRow("known display") << knownEdid(256, 1) << "TLV 0x1234, TALVANE HD, 2024, 1920x1080 @ 60 Hz";
    Bytes rate = knownEdid();
    rate[54] = 0xF3;  // 148.35 MHz
    rate[55] = 0x39;
    QTest::newRow("59.94 Hz") << rate << "TLV 0x1234, TALVANE HD, 2024, 1920x1080 @ 59.94 Hz";
    Bytes interlaced = knownEdid();
    const std::uint8_t timing1080i[] = {0x01, 0x1D, 0x80, 0x18, 0x71, 0x1C, 0x16, 0x20};  // 74.25 MHz, 540 + 22 lines a field
    std::copy(std::begin(timing1080i), std::end(timing1080i), interlaced.begin() + 54);
    interlaced[54 + 17] = 0x80;
    QTest::newRow("interlaced") << interlaced << "TLV 0x1234, TALVANE HD, 2024, 1920x1080i @ 60 Hz";
    // A name descriptor before the timing, a non-printable name byte, letters
    // outside A..Z, and a timing without lines (no rate to divide by).
    Bytes odd = knownEdid();
    std::swap_ranges(odd.begin() + 54, odd.begin() + 72, odd.begin() + 72);
    odd[54 + 6] = 0x07;
    odd[8] = 0xFF;  // 0xFF96: letters 31, 28, 22
    odd[72 + 5] = odd[72 + 6] = odd[72 + 7] = 0;
    QTest::newRow("odd descriptors") << odd << "??V 0x1234, T?LVANE HD, 2024";
}

void TestEdidFile::describe()
{
    QFETCH(Bytes, file);
    QFETCH(QString, summary);
    QCOMPARE(QString::fromStdString(edidfile::describe(file.data(), file.size())), summary);
}

void TestEdidFile::anyBytesAreSafe()
{
    // Random contents at every length around the valid ones, each in a buffer
    // of exactly that length: the checks never accept a wrong length and the
    // decoder reads a base block only when there is one.
    std::mt19937 random(9);
    for (std::size_t size = 0; size <= 300; ++size) {
        for (int round = 0; round < 20; ++round) {
            Bytes bytes(size);
            for (auto& b : bytes)
                b = static_cast<std::uint8_t>(random());
            if (size >= 8 && round % 2 == 0)
                std::copy(std::begin(edidfile::kHeader), std::end(edidfile::kHeader), bytes.begin());
            const auto verdict = edidfile::check(bytes.data(), size);
            if (size != 128 && size != 256)
                QCOMPARE(verdict, edidfile::Verdict::BadLength);
            QCOMPARE(edidfile::describe(bytes.data(), size).empty(), size < edidfile::kBlockSize);
        }
    }
    QCOMPARE(edidfile::check(nullptr, 128), edidfile::Verdict::BadLength);
    QVERIFY(edidfile::describe(nullptr, 256).empty());
}

QTEST_APPLESS_MAIN(TestEdidFile)
#include "test_edidfile.moc"
