// The choice menu's state without a screen: keys, the current position and
// scrolling, the help-line cycle, when the callback is due, and the texts the
// screen shows. The curses drawing in choice.cpp is a thin layer over it.
#pragma once

#include "choice.h"

#include <string>

// Longest option text, in bytes, that the menu shows; longer texts are cut in
// the caller's string.
constexpr int MAX_OPTION_LENGTH = 32;
// Entries the menu shows at a time.
constexpr int MENU_VISIBLE_ROWS = 16;
// Screen columns every help line covers, so that each covers the one before.
constexpr int HELP_LINE_WIDTH = 68;
// Turns of the input loop between two help-line steps (and callback calls).
constexpr long TURNS_PER_HELP_STEP = 100;
constexpr int NUMBER_OF_HELP_LINES = 3;

enum MenuCommand {
    MENU_NO_COMMAND, // any key the menu does not know
    MENU_IDLE, // no key within the half-delay
    MENU_DOWN,
    MENU_UP,
    MENU_PAGE_DOWN,
    MENU_PAGE_UP,
    MENU_SELECT,
};

// What a key read by the menu (a curses key code, or ERR) asks for.
MenuCommand menuCommandForKey(int ch);

// Position and scrolling of one menu, moved as the menu library moves a
// one-column menu of MENU_VISIBLE_ROWS rows without wrap-around.
struct MenuPosition {
    int numberOfEntries = 0;
    int current = 0; // position of the current entry
    int top = 0; // position of the first visible entry
};

// Applies a movement command; the others leave the position as it is.
// Returns whether the position or the scrolling changed.
bool moveMenuPosition(MenuPosition& position, MenuCommand command);

// State the input loop keeps from one turn to the next.
struct MenuLoopState {
    int choiceMade = -1; // position of the selected entry, -1 until then
    int lastSelection = -1; // position the marquee text was built for
    std::string marqueeText;
    bool isMenuRefreshRequired = false;
    long loopCount = 0; // turns completed
};

// Idle step: builds the marquee text ("option - description") anew when the
// current entry is another than last time. Returns whether it was rebuilt.
bool updateMarqueeText(MenuLoopState& state, const choice_s& entry, int position);

// Whether the turn numbered loopCount shows the next help line and consults
// the caller's callback (every hundredth turn, the first included).
bool isHelpStepTurn(long loopCount);
// The help line (0, 1 or 2) that the turn numbered loopCount shows.
int helpLineIndex(long loopCount);

// Cuts an option text longer than MAX_OPTION_LENGTH bytes in place, at the
// last character boundary at or below that length, so that no UTF-8
// character is split. Returns the length after the cut.
size_t cutOptionText(char* option);

// The help text cut or padded with spaces to exactly HELP_LINE_WIDTH screen
// columns (for ASCII text the same as "%-68.68s"); characters are never split.
std::string fitHelpLine(const char* text);

// The column at which the title is centred on a screen of screenColumns.
int titleColumn(const char* title, int screenColumns);
