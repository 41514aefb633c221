#pragma once
// The program's icons, drawn at run time so that no image files are needed.
#include <QColor>
#include <QIcon>
#include <QPixmap>

#include "service/OnlineList.h"

namespace dialvo {

// A handset on a round badge of the given colour; hungUp turns it down.
QIcon HandsetIcon(const QColor& badge, bool hungUp = false);
// A handset with a small "+" for adding a caller.
QIcon ConferenceIcon();
QIcon ProgramIcon();
// The program's icon drawn at one size (the installed icon files).
QPixmap ProgramIconPixmap(int size);
// A buddy: callable, behind a firewall, or reachable from its own local
// network only.
QIcon BuddyIcon(BuddyImage image);

}  // namespace dialvo
