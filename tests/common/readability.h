#pragma once

// Checks on rendered widgets that catch texts a user cannot read: a percentage drawn in the
// colour of the bar under it, a label cut off at the window edge.

#include <QColor>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QString>

namespace Readability {

// A text pixel is clear when its lightness (0-255) differs this much from the pixel under it;
// the clear pixels must be this many and spread over this share of the text's width (a text
// drawn partly in the colour of the bar under it shows only a part of its width).
inline constexpr int MinContrast = 80;
inline constexpr int MinTextPixels = 12;
inline constexpr double MinWidthShare = 0.85;

// True when the bar's percentage text stands out from the bar: the bar is rendered with and
// without its text, and the pixels the text changes must differ clearly from the pixels under
// them, all along the text. why says what was found.
inline bool percentageIsReadable(QProgressBar *bar, QString *why)
{
    bar->setTextVisible(true);
    const QImage with = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
    bar->setTextVisible(false);
    const QImage without = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
    bar->setTextVisible(true);

    int clear = 0;
    int left = with.width();
    int right = -1;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            const QColor a = with.pixelColor(x, y);
            const QColor b = without.pixelColor(x, y);
            if (qAbs(a.lightness() - b.lightness()) < MinContrast)
                continue;
            ++clear;
            left = qMin(left, x);
            right = qMax(right, x);
        }
    }
    const int textWidth = bar->fontMetrics().horizontalAdvance(bar->text());
    const int clearWidth = right >= left ? right - left + 1 : 0;
    if (why) {
        *why = QStringLiteral("\"%1\": %2 clear pixels over %3 of %4 px")
                   .arg(bar->text())
                   .arg(clear)
                   .arg(clearWidth)
                   .arg(textWidth);
    }
    return clear >= MinTextPixels && clearWidth >= textWidth * MinWidthShare;
}

// True when the label shows its text whole, or elided with the whole text in its tooltip, and
// the shown text fits the label's width.
inline bool labelFits(const QLabel *label, const QString &fullText, QString *why)
{
    const QString shown = label->text();
    const int width = label->fontMetrics().horizontalAdvance(shown);
    if (why)
        *why = QStringLiteral("shown \"%1\" (%2 px in %3 px), tooltip \"%4\"")
                   .arg(shown)
                   .arg(width)
                   .arg(label->contentsRect().width())
                   .arg(label->toolTip());
    if (width > label->contentsRect().width())
        return false;
    return shown == fullText || label->toolTip() == fullText;
}

} // namespace Readability
