// The program's icons and bitmaps, addressed by their resource ids and drawn
// in code, so nothing is loaded from files at run time. Needs a running
// QGuiApplication.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace talvane::res {

// Icons of the flat header buttons (24 x 24).
constexpr int IconCloseOut = 129;     // white cross
constexpr int IconMinimizeOut = 130;  // white bar
constexpr int IconMinimizeIn = 131;   // light-grey bar on a dark-red square
constexpr int IconCloseIn = 132;      // light-grey cross on a dark-red square
// Pictures of the popups.
constexpr int BitmapInformation = 136;  // 36 x 36, white i on a blue disc
constexpr int BitmapCheckMark = 143;    // 31 x 31, white check mark on a green disc
// A failure, in place of each of the two above (same sizes): a dark "!" on
// an amber triangle.
constexpr int BitmapWarning = 170;       // 36 x 36
constexpr int BitmapWarningResult = 171; // 31 x 31
// Digits 1..8 (80 x 80) of the routing page: 1 is 146, 2..8 are 154..160.
constexpr int BitmapDigit1 = 146;
constexpr int BitmapDigit2 = 154;
constexpr int BitmapDigit8 = 160;
// Step buttons of the routing page (16 x 16).
constexpr int IconNext = 161;      // right-pointing triangle
constexpr int IconPrevious = 162;  // left-pointing triangle

// Resource id of the bitmap showing `digit` (1..8), 0 for any other digit.
int digitBitmapId(int digit);

// The image of resource `resourceId` at its own size; a null pixmap or icon
// for an unknown id. Every call returns the same artwork.
QPixmap bitmap(int resourceId);
QIcon icon(int resourceId);
QSize naturalSize(int resourceId);  // empty for an unknown id

// What the image stands for ("Close", "Next", ...), for buttons and pictures
// that show only the image; empty when it has no such meaning.
QString description(int resourceId);

}  // namespace talvane::res
