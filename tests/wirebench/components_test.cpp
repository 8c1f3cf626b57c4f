// Component stand-ins: image object conversions and files, settings store values.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <random>

#include "components/leadimage.h"
#include "components/settingsstore.h"

namespace wirebench {
namespace {

TEST(LeadImage, GrayKindsDepthsAndBmpRoundTrip) {
    LeadImage img;
    ASSERT_TRUE(img.create(7, 3, 16));
    img.fill(0x1234);
    img.drawLine(0, 0, 6, 0, 0xFFFF, 1);
    EXPECT_EQ(img.bitsPerPixel(), 16);
    EXPECT_EQ(img.grayscaleKind(), LeadImage::kOrderedGray);
    const auto hist = img.histogram();
    EXPECT_EQ(hist[0x1234], 14u);
    EXPECT_EQ(hist[0xFFFF], 7u);

    LeadImage back;
    ASSERT_TRUE(back.loadMemory(img.saveBmp()));
    EXPECT_EQ(back.bitsPerPixel(), 16);
    EXPECT_EQ(back.width(), 7);
    EXPECT_EQ(back.histogram(), hist);

    back.convertGray(8);
    EXPECT_EQ(back.bitsPerPixel(), 8);
    EXPECT_EQ(back.histogram()[0x12], 14u);
    back.setPaletteEntry(3, qRgb(9, 9, 9));
    EXPECT_EQ(back.grayscaleKind(), LeadImage::kOtherGray);
    back.setPaletteEntry(3, qRgb(9, 0, 9));
    EXPECT_EQ(back.grayscaleKind(), LeadImage::kNotGray);

    LeadImage rgb;
    ASSERT_TRUE(rgb.create(2, 2, 24));
    EXPECT_EQ(rgb.grayscaleKind(), LeadImage::kNotGray);
    rgb.convertGray(16);
    EXPECT_EQ(rgb.bitsPerPixel(), 16);
}

TEST(LeadImage, RemapAndSwap) {
    LeadImage img;
    ASSERT_TRUE(img.create(2, 1, 16));
    img.fill(0x0102);
    img.swapBytes16();
    EXPECT_EQ(img.histogram()[0x0201], 2u);
    std::vector<quint16> table(65536, 5);
    img.remap(table);
    EXPECT_EQ(img.histogram()[5], 2u);
    EXPECT_FALSE(img.loadMemory(QByteArray("BM not really a bitmap at all", 30)));
    EXPECT_TRUE(img.isNull());
}

// Large pictures (two threads, vector paths) give what a plain loop over value() gives; an odd
// width leaves padded rows.
TEST(LeadImage, LargePicturePassesMatchAPlainLoop) {
    for (const int width : {1638, 1001}) {
        SCOPED_TRACE(width);
        const int height = 700;
        LeadImage img;
        ASSERT_TRUE(img.create(width, height, 16));
        img.setSignificantBits(12);
        std::mt19937 rng(static_cast<unsigned>(width));
        std::uniform_int_distribution<int> value(0, 4095);
        GrayBuffer buffer{width, height, 4095, {}};
        buffer.pixels.resize(static_cast<std::size_t>(width) * height);
        for (auto& v : buffer.pixels) {
            v = static_cast<std::uint16_t>(value(rng));
        }
        img.setGrayBuffer(buffer);
        std::vector<quint32> counts(65536, 0);
        for (const auto v : buffer.pixels) {
            ++counts[v];
        }
        EXPECT_EQ(img.histogram(), counts);
        const auto table = remapTable(4096, 4095, 300, 3000, 1.7, true);
        const LeadImage out = img.remapped(table);
        LeadImage inPlace = img;
        inPlace.remap(table);
        ASSERT_EQ(out.bitsPerPixel(), 16);
        EXPECT_EQ(out.significantBits(), 12);
        const QImage shown = out.displayImage();
        ASSERT_EQ(shown.format(), QImage::Format_Grayscale8);
        bool same = true;
        for (int y = 0; y < height && same; ++y) {
            for (int x = 0; x < width && same; ++x) {
                const unsigned want = table[img.value(x, y)];
                same = out.value(x, y) == want && inPlace.value(x, y) == want &&
                       shown.constScanLine(y)[x] == (want * 255 + 2047) / 4095;
                EXPECT_TRUE(same) << x << "," << y;
            }
        }
        EXPECT_EQ(img.histogram(), counts);  // the source stays untouched
    }
}

TEST(SettingsStore, ValuesWithZeroCharactersSurvive) {
    QTemporaryDir dir;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    const QString dims = QStringList{"1", "2", "300", "400"}.join(QChar(0));
    {
        SettingsStore s("wirebench_components_tests");
        EXPECT_EQ(s.get("PC", "LocalIP", "localhost"), "localhost");
        s.save("PC", "LogWinDim", dims);
        s.sync();
    }
    SettingsStore again("wirebench_components_tests");
    EXPECT_EQ(again.get("PC", "LogWinDim", ""), dims);
}

}  // namespace
}  // namespace wirebench

namespace wirebench {
namespace {

// Every offered format writes a readable file; PNG, TIFF and the own BMP keep 16-bit grey pixels.
TEST(LeadImage, SavesInEveryOfferedFormat) {
    QTemporaryDir dir;
    LeadImage img;
    ASSERT_TRUE(img.create(37, 21, 16));
    GrayBuffer b = img.grayBuffer();
    for (std::size_t i = 0; i < b.pixels.size(); ++i) {
        b.pixels[i] = static_cast<std::uint16_t>(i * 613 % 65536);
    }
    img.setGrayBuffer(b);
    const char* const formats[] = {"BMP", "PNG", "TIFF", "JPG", "PGM", "PPM", "WEBP", "XPM", "XBM"};
    for (const char* f : formats) {
        const QString path = dir.filePath(QString("out.") + QString(f).toLower());
        ASSERT_TRUE(img.saveFile(path, f)) << f;
        LeadImage back;
        ASSERT_TRUE(back.loadFile(path)) << f;
        EXPECT_EQ(back.width(), 37) << f;
        EXPECT_EQ(back.height(), 21) << f;
        if (QString(f) == "PNG" || QString(f) == "TIFF" || QString(f) == "BMP") {
            EXPECT_EQ(back.bitsPerPixel(), 16) << f;
            EXPECT_EQ(back.grayBuffer().pixels, b.pixels) << f;
        }
    }
}

}  // namespace
}  // namespace wirebench
