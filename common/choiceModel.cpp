// The choice menu's state and texts, kept apart from the curses drawing.
#include "choiceModel.h"

#include <algorithm>
#include <cstring>
#include <curses.h>
#include <cwchar>

namespace
{

// A UTF-8 character is at most four bytes long: one lead byte and up to
// three continuation bytes of the form 10xxxxxx.
constexpr int MAX_CONTINUATION_BYTES = 3;

bool isContinuationByte(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// One character of text: its length in bytes and its width on the screen.
// Bytes the locale cannot decode count as one column each, which keeps
// ASCII and single-byte texts exactly as wide as they are long.
struct Character {
    size_t length;
    int columns;
};

Character nextCharacter(const char* text, size_t remaining, std::mbstate_t& state)
{
    wchar_t wide = 0;
    size_t length = std::mbrtowc(&wide, text, remaining, &state);
    if (length == 0 || length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2)) {
        state = std::mbstate_t {};
        return { 1, 1 };
    }
    int columns = ::wcwidth(wide);
    return { length, columns < 0 ? 1 : columns };
}

int displayWidth(const char* text)
{
    std::mbstate_t state {};
    size_t remaining = std::strlen(text);
    int columns = 0;
    while (remaining > 0) {
        Character character = nextCharacter(text, remaining, state);
        columns += character.columns;
        text += character.length;
        remaining -= character.length;
    }
    return columns;
}

} // namespace

MenuCommand menuCommandForKey(int ch)
{
    switch (ch) {
    case KEY_DOWN:
    case '6':
        return MENU_DOWN;
    case KEY_UP:
    case '4':
        return MENU_UP;
    case KEY_NPAGE:
    case '2':
        return MENU_PAGE_DOWN;
    case KEY_PPAGE:
    case '8':
        return MENU_PAGE_UP;
    case '\n':
    case KEY_ENTER:
    case '5':
    case 's':
        return MENU_SELECT;
    case ERR:
        return MENU_IDLE;
    default:
        return MENU_NO_COMMAND;
    }
}

bool moveMenuPosition(MenuPosition& position, MenuCommand command)
{
    const int rows = MENU_VISIBLE_ROWS;
    int current = position.current;
    int top = position.top;
    switch (command) {
    case MENU_DOWN:
        if (current + 1 < position.numberOfEntries)
            ++current;
        if (current >= top + rows)
            top = current - rows + 1;
        break;
    case MENU_UP:
        if (current > 0)
            --current;
        if (current < top)
            top = current;
        break;
    case MENU_PAGE_DOWN: {
        // Scroll by a page, or by what is left below the last visible row;
        // the current entry keeps its row on the screen.
        int step = std::min(position.numberOfEntries - (top + rows), rows);
        if (step > 0) {
            top += step;
            current += step;
        }
        break;
    }
    case MENU_PAGE_UP: {
        int step = std::min(top, rows);
        if (step > 0) {
            top -= step;
            current -= step;
        }
        break;
    }
    default:
        break;
    }
    bool changed = current != position.current || top != position.top;
    position.current = current;
    position.top = top;
    return changed;
}

bool updateMarqueeText(MenuLoopState& state, const choice_s& entry, int position)
{
    if (position == state.lastSelection)
        return false;
    state.marqueeText
        = std::string(entry.option ? entry.option : "") + " - " + (entry.description ? entry.description : "");
    state.lastSelection = position;
    return true;
}

bool isHelpStepTurn(long loopCount)
{
    return loopCount % TURNS_PER_HELP_STEP == 0;
}

int helpLineIndex(long loopCount)
{
    return static_cast<int>(loopCount % (TURNS_PER_HELP_STEP * NUMBER_OF_HELP_LINES) / TURNS_PER_HELP_STEP);
}

size_t cutOptionText(char* option)
{
    size_t length = std::strlen(option);
    if (length <= static_cast<size_t>(MAX_OPTION_LENGTH))
        return length;
    // The byte at the cut starts the first character that is dropped; step
    // back over continuation bytes to the start of the character they belong
    // to. More than three of them in a row is no UTF-8, so cut at the limit.
    size_t cut = MAX_OPTION_LENGTH;
    int stepped = 0;
    while (cut > 0 && stepped < MAX_CONTINUATION_BYTES && isContinuationByte(static_cast<unsigned char>(option[cut]))) {
        --cut;
        ++stepped;
    }
    if (isContinuationByte(static_cast<unsigned char>(option[cut])))
        cut = MAX_OPTION_LENGTH;
    option[cut] = '\0';
    return cut;
}

std::string fitHelpLine(const char* text)
{
    std::string line;
    std::mbstate_t state {};
    size_t remaining = std::strlen(text);
    int columns = 0;
    while (remaining > 0) {
        Character character = nextCharacter(text, remaining, state);
        if (columns + character.columns > HELP_LINE_WIDTH)
            break;
        line.append(text, character.length);
        columns += character.columns;
        text += character.length;
        remaining -= character.length;
    }
    line.append(static_cast<size_t>(HELP_LINE_WIDTH - columns), ' ');
    return line;
}

int titleColumn(const char* title, int screenColumns)
{
    return std::max(0, (screenColumns - displayWidth(title)) / 2);
}
