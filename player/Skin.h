// The player's skin: one stylesheet whose sections the controls choose with a dynamic property, and the
// image list of the bar's buttons.
#pragma once

#include <QIcon>
#include <QPalette>
#include <QString>

class QApplication;
class QWidget;

namespace player {

// Indexes of the image list that the main window uses.
inline constexpr int kImagePlay = 0;
inline constexpr int kImageStop = 1;
inline constexpr int kImagePause = 2;
inline constexpr int kImageSoundOn = 7;
inline constexpr int kImageMuted = 8;
inline constexpr int kImageCount = 9;

// The stylesheet text; empty when the resource is missing.
QString SkinStyleSheet();

// The skin's colours for what the stylesheet leaves to the style (pages, lists, file views, combo boxes,
// edits, headers, menus, tool tips): dark slate surfaces, light grey-blue text and light blue links.
QPalette SkinPalette();

// Gives the whole application the skin: its palette and its stylesheet.
void ApplySkin(QApplication& app);

// An image of the list; a null icon for an index outside it.
QIcon SkinImage(int index);

// Puts the widget into a skin section ("BAR", "BARPANEL", "BUTTON", "TRACKBAR", "PANEL", "CHECKBOX",
// "ICOLINE") and restyles it.
void SetSkinSection(QWidget* widget, const char* section);
QString SkinSection(const QWidget* widget);

}  // namespace player
