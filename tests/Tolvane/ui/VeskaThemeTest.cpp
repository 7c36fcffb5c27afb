#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QDBusVariant>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QLocale>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "Tolvane/ui/VeskaAppearance.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaProgressBar.h"
#include "Tolvane/ui/VeskaStyle.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane::test {
namespace {

TEST(VeskaAppearance, ResolvesTheChoiceAndTheDesktopPreference) {
    const std::optional<uint> none;
    const struct {
        const char* setting;
        std::optional<uint> desktop;
        Appearance expected;
    } rows[] = {
        {"dark", 2u, Appearance::dark},    {"light", 1u, Appearance::light},
        {"system", 1u, Appearance::dark},  {"system", 2u, Appearance::light},
        {"system", 0u, Appearance::light}, {"system", none, Appearance::light},
        {"system", 7u, Appearance::light}, {"", 2u, Appearance::dark},
        {"Light", none, Appearance::dark}, {"sepia", 2u, Appearance::dark},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(resolveAppearance(QString::fromUtf8(row.setting), row.desktop), row.expected)
            << row.setting << " " << row.desktop.value_or(99);
    }
}

TEST(VeskaAppearance, ReadsThePortalValueThroughItsWrappers) {
    const auto wrapped = [](const QVariant& value) {
        return QVariant::fromValue(QDBusVariant(value));
    };
    const std::optional<uint> none;
    const struct {
        QVariant value;
        std::optional<uint> expected;
    } rows[] = {
        {QVariant::fromValue(1u), 1u},
        {wrapped(QVariant::fromValue(2u)), 2u},
        {wrapped(wrapped(QVariant::fromValue(1u))), 1u},
        {wrapped(QVariant::fromValue(QStringLiteral("dark"))), none},
        {wrapped(QVariant::fromValue(1)), none},  // signed: not what the portal sends
        {QVariant(), none},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(portalColorScheme(row.value), row.expected) << row.value.typeName();
    }
}

TEST(VeskaTheme, APaletteDrawsInTheAppearanceItWasBuiltFor) {
    for (const auto appearance : {Appearance::dark, Appearance::light}) {
        const QPalette palette = VeskaTheme::palette(appearance);
        EXPECT_EQ(VeskaTheme::appearanceOf(palette), appearance);
        EXPECT_EQ(palette.color(QPalette::Window), VeskaTheme::canvas.resolve(appearance));
        EXPECT_EQ(palette.color(QPalette::Text), VeskaTheme::text.resolve(appearance));
    }
    // A palette from elsewhere is judged by how dark its window is.
    QPalette foreign;
    foreign.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    EXPECT_EQ(VeskaTheme::appearanceOf(foreign), Appearance::dark);
    foreign.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    EXPECT_EQ(VeskaTheme::appearanceOf(foreign), Appearance::light);
}

TEST(VeskaButtonStyle, DisabledWinsOverPressed) {
    const struct {
        VeskaButtonStyle style;
        bool enabled;
        bool pressed;
        double opacity;
    } rows[] = {
        {VeskaPrimaryButtonStyle(), false, true, 0.45},
        {VeskaPrimaryButtonStyle(), false, false, 0.45},
        {VeskaPrimaryButtonStyle(), true, true, 0.78},
        {VeskaPrimaryButtonStyle(), true, false, 1.0},
        {VeskaSecondaryButtonStyle(), false, true, 0.45},
        {VeskaSecondaryButtonStyle(), true, true, 0.72},
        {VeskaSecondaryButtonStyle(), true, false, 1.0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.style.opacity(row.enabled, row.pressed), row.opacity)
            << row.style.minimumHeight << " " << row.enabled << row.pressed;
    }
}

TEST(VeskaButton, IsItsLabelWideAndOnlyItsRoundedShapeTakesClicks) {
    for (const VeskaButtonStyle& style : {VeskaButtonStyle(VeskaPrimaryButtonStyle()),
                                          VeskaButtonStyle(VeskaSecondaryButtonStyle())}) {
        VeskaButton shortLabel(QStringLiteral("예"), style);
        VeskaButton longLabel(QStringLiteral("ZIP 만들기 다시 확인"), style);
        EXPECT_EQ(shortLabel.sizeHint().height(), style.minimumHeight);
        EXPECT_GT(longLabel.sizeHint().width(), shortLabel.sizeHint().width());
        EXPECT_EQ(longLabel.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);

        longLabel.resize(longLabel.sizeHint());
        int clicks = 0;
        QObject::connect(&longLabel, &QPushButton::clicked, [&] { ++clicks; });
        const QPoint corner(1, 1);
        const QPoint middle = longLabel.rect().center();
        QTest::mouseClick(&longLabel, Qt::LeftButton, {}, corner);
        EXPECT_EQ(clicks, 0) << "a click in the cut-away corner";
        QTest::mouseClick(&longLabel, Qt::LeftButton, {}, middle);
        EXPECT_EQ(clicks, 1);
    }
}

TEST(VeskaProgressBar, ClampsWhatItDrawsAndReadsOut) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double fraction;
        double drawn;
        const char* read;
    } rows[] = {
        {-0.3, 0, "0%"}, {0, 0, "0%"},     {0.4, 0.4, "40%"}, {0.995, 0.995, "100%"},
        {1, 1, "100%"},  {1.7, 1, "100%"}, {nan, 0, "0%"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(VeskaProgressBar::clampedFraction(row.fraction), row.drawn) << row.fraction;
        EXPECT_EQ(VeskaProgressBar::percentText(row.fraction, QLocale(QLocale::Korean)),
                  QString::fromUtf8(row.read))
            << row.fraction;
    }
}

TEST(VeskaProgressBar, AssistiveTechnologyReadsItsValueWithinItsRange) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Korean));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double fraction;
        double value;
        const char* text;
    } rows[] = {{0.4, 40, "40%"},
                {-0.3, 0, "0%"},
                {1.7, 100, "100%"},
                {nan, 0, "0%"},
                {0.995, 99.5, "100%"}};
    VeskaProgressBar bar(0.25);
    QAccessibleInterface* readOut = QAccessible::queryAccessibleInterface(&bar);
    ASSERT_NE(readOut, nullptr);
    EXPECT_EQ(readOut->role(), QAccessible::ProgressBar);
    EXPECT_EQ(readOut->text(QAccessible::Name), QStringLiteral("진행률"));
    QAccessibleValueInterface* value = readOut->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->minimumValue().toDouble(), 0);
    EXPECT_EQ(value->maximumValue().toDouble(), 100);
    EXPECT_EQ(value->currentValue().toDouble(), 25);
    // The same interface follows every later change.
    for (const auto& row : rows) {
        bar.setFraction(row.fraction);
        EXPECT_DOUBLE_EQ(value->currentValue().toDouble(), row.value) << row.fraction;
        EXPECT_EQ(readOut->text(QAccessible::Value), QString::fromUtf8(row.text)) << row.fraction;
    }
    QLocale::setDefault(before);
}

TEST(VeskaTheme, ChangingNumbersKeepTheirWidthWhateverTheDigits) {
    // Strings of one shape, as a running job shows them one after another.
    const std::vector<std::vector<const char*>> shapes = {
        {"1.1 MB / 128.5 MB", "4.7 MB / 128.5 MB", "8.8 MB / 128.5 MB"},
        {"전체 11%", "전체 47%", "전체 80%"},
        {"1,111", "7,474", "8,000"},
        {"11", "17", "71", "00"},
    };
    const struct {
        int size;
        QFont::Weight weight;
    } fonts[] = {{VeskaTheme::captionSize, QFont::Normal},
                 {VeskaTheme::calloutSize, QFont::Medium},
                 {VeskaTheme::bodySize, QFont::DemiBold}};
    for (const auto& font : fonts) {
        const QFont plain = VeskaTheme::font(font.size, font.weight);
        const QFont figures = VeskaTheme::tabularFont(font.size, font.weight);
        EXPECT_TRUE(VeskaTheme::hasTabularFigures(figures)) << font.size;
        // A face whose digits already share one width is kept, not replaced.
        if (VeskaTheme::hasTabularFigures(plain)) {
            EXPECT_EQ(figures.families(), plain.families()) << font.size;
        }
        const QFontMetricsF metrics(figures);
        for (const auto& shape : shapes) {
            const qreal first = metrics.horizontalAdvance(QString::fromUtf8(shape.front()));
            for (const char* text : shape) {
                EXPECT_NEAR(metrics.horizontalAdvance(QString::fromUtf8(text)), first, 0.01)
                    << text << " at " << font.size;
            }
        }
    }
}

TEST(VeskaStyle, ADestructiveMenuItemIsDrawnInTheDangerColour) {
    VeskaStyle style;
    for (const auto appearance : {Appearance::dark, Appearance::light}) {
        QMenu menu;
        menu.setStyle(&style);
        menu.setPalette(VeskaTheme::palette(appearance));
        menu.setFont(VeskaTheme::font(VeskaTheme::bodySize));
        QAction* plain = menu.addAction(QStringLiteral("로그아웃 하기"));
        QAction* destructive = menu.addAction(QStringLiteral("접근 권한 철회"));
        VeskaStyle::markDestructive(destructive);
        EXPECT_FALSE(VeskaStyle::isDestructive(plain));
        menu.adjustSize();
        const QImage picture = menu.grab().toImage();
        const QRgb danger = VeskaTheme::danger.resolve(appearance).rgb() & 0xFFFFFF;
        const auto dangerPixels = [&](QAction* action) {
            int count = 0;
            const QRect area = menu.actionGeometry(action);
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.left(); x <= area.right(); ++x) {
                    count += (picture.pixel(x, y) & 0xFFFFFF) == danger ? 1 : 0;
                }
            }
            return count;
        };
        EXPECT_GT(dangerPixels(destructive), 0) << int(appearance);
        EXPECT_EQ(dangerPixels(plain), 0) << int(appearance);
    }
}

TEST(VeskaSymbol, EverySymbolTheScreensNameIsDrawnInItsTint) {
    if (!QFileInfo::exists(QStringLiteral("/usr/share/icons/Adwaita/index.theme"))) {
        GTEST_SKIP() << "the Adwaita icon theme is not installed";
    }
    const QColor tint = QColor::fromRgb(VeskaTheme::lime);
    for (const char* symbol : {"plus",
                               "trash",
                               "eject",
                               "folder",
                               "xmark",
                               "checkmark",
                               "checkmark.circle.fill",
                               "checkmark.shield",
                               "link",
                               "doc.on.doc",
                               "doc",
                               "arrow.up.right",
                               "arrow.clockwise",
                               "externaldrive",
                               "archivebox",
                               "archivebox.fill",
                               "tray.and.arrow.down",
                               "ellipsis",
                               "hourglass",
                               "pause.circle",
                               "exclamationmark.triangle",
                               "clock.arrow.circlepath"}) {
        const QImage image = VeskaSymbol::pixmap(QString::fromUtf8(symbol), 16, tint, 2)
                                 .toImage()
                                 .convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), QSize(32, 32)) << symbol;
        int inked = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 255) {
                    ++inked;
                    EXPECT_EQ(pixel.rgb(), tint.rgb()) << symbol;
                }
            }
        }
        EXPECT_GT(inked, 0) << symbol;
    }
    EXPECT_TRUE(VeskaSymbol::pixmap(QStringLiteral("no.such.symbol"), 16, tint, 1).isNull());
}

}  // namespace
}  // namespace tolvane::test
