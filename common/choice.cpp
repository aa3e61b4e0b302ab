// The full-screen choice menu: curses windows and the menu library drawn over
// the menu model (choiceModel.h).
#include "choice.h"

#include "choiceModel.h"
#include "pacing.h"
#include "prepareForNLS.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <curses.h>
#include <menu.h>
#include <new>
#include <string>
#include <vector>

// curses defines timeout() as a macro; here timeout is the caller's callback.
#undef timeout

namespace
{

// 1 from initMenu to destroyMenu, so that an exit from anywhere can restore
// the terminal first.
int isInMenuMode = 0;

// Fixed layout; only the title's centring and the help line's row follow
// the screen size.
constexpr int TITLE_ROW = 1;
constexpr int HELP_LINE_COLUMN = 4;
constexpr int MENU_WINDOW_ROWS = 18;
constexpr int MENU_WINDOW_COLUMNS = 55;
constexpr int MENU_WINDOW_ROW = 2;
constexpr int MENU_WINDOW_COLUMN = 4;
constexpr int MENU_SUB_ROWS = MENU_VISIBLE_ROWS;
constexpr int MENU_SUB_COLUMNS = 53;
constexpr int DESCRIPTION_ROWS = 3;
constexpr int DESCRIPTION_COLUMNS = 70;
constexpr int DESCRIPTION_ROW = 20;
constexpr int DESCRIPTION_COLUMN = 4;
constexpr unsigned int CONFIRMATION_SECONDS = 2;
constexpr const char* MENU_MARK = " * ";
// The menu library needs an item description to lay out its columns; the
// real description is shown in the description window.
constexpr const char* ITEM_DESCRIPTION = " ";
// The menu library refuses an item without a name; an empty option text is
// shown as a blank row so that the positions of the entries stay as given.
constexpr const char* BLANK_OPTION = " ";

int helpLineRow()
{
    return LINES - 2;
}

// Reads keys until none is waiting (each read waits at most the half-delay).
void discardPendingInput()
{
    while (wgetch(stdscr) != ERR) { }
}

// The menu's curses objects; released in the order the library requires.
struct MenuScreen {
    std::vector<ITEM*> items; // one per entry, then a null
    MENU* menu = nullptr;
    WINDOW* w_full = nullptr;
    WINDOW* w_menu = nullptr;
    WINDOW* w_menu_sub = nullptr;
    WINDOW* w_desc = nullptr;

    MenuScreen() = default;
    MenuScreen(const MenuScreen&) = delete;
    MenuScreen& operator=(const MenuScreen&) = delete;
    ~MenuScreen()
    {
        for (WINDOW* window : { w_desc, w_menu_sub, w_menu, w_full }) {
            if (window != nullptr)
                werase(window);
        }
        if (menu != nullptr) {
            unpost_menu(menu);
            free_menu(menu);
        }
        for (WINDOW* window : { w_desc, w_menu_sub, w_menu, w_full }) {
            if (window != nullptr)
                delwin(window);
        }
        for (ITEM* item : items) {
            if (item != nullptr)
                free_item(item);
        }
    }
};

void buildMenu(MenuScreen& screen, CHOICES* c)
{
    choice_s* entries = c->choices;
    for (int position = 0; position < c->inUseNumberOfChoices; ++position) {
        char* option = entries[position].option;
        if (option != nullptr)
            cutOptionText(option);
        const char* name = (option != nullptr && *option != '\0') ? option : BLANK_OPTION;
        ITEM* item = new_item(name, ITEM_DESCRIPTION);
        if (item == nullptr)
            item = new_item(BLANK_OPTION, ITEM_DESCRIPTION);
        set_item_userptr(item, reinterpret_cast<void*>(static_cast<intptr_t>(position)));
        screen.items[position] = item;
    }
    screen.menu = new_menu(screen.items.data());
    screen.w_full = newwin(0, 0, 0, 0);
    keypad(screen.w_full, TRUE);
    screen.w_menu = derwin(screen.w_full, MENU_WINDOW_ROWS, MENU_WINDOW_COLUMNS, MENU_WINDOW_ROW, MENU_WINDOW_COLUMN);
    screen.w_menu_sub = derwin(screen.w_menu, MENU_SUB_ROWS, MENU_SUB_COLUMNS, 1, 1);
    set_menu_win(screen.menu, screen.w_menu);
    set_menu_sub(screen.menu, screen.w_menu_sub);
    screen.w_desc = derwin(screen.w_full, DESCRIPTION_ROWS, DESCRIPTION_COLUMNS, DESCRIPTION_ROW, DESCRIPTION_COLUMN);
    set_menu_mark(screen.menu, MENU_MARK);
    post_menu(screen.menu);
}

// Makes the menu library show the model's current entry and scrolling.
void showPosition(const MenuScreen& screen, const MenuPosition& position)
{
    set_top_row(screen.menu, position.top);
    set_current_item(screen.menu, screen.items[position.current]);
}

void drawHelpLine(const MenuScreen& screen, const std::string& line)
{
    mvwaddstr(screen.w_full, helpLineRow(), HELP_LINE_COLUMN, line.c_str());
}

void redraw(const MenuScreen& screen, const choice_s& entry)
{
    werase(screen.w_desc);
    // A long description wraps within the window; what does not fit is lost.
    mvwaddstr(screen.w_desc, 0, 0, entry.description != nullptr ? entry.description : "");
    wrefresh(screen.w_desc);
    wrefresh(screen.w_menu);
    wborder(screen.w_full, 0, 0, 0, 0, 0, 0, 0, 0);
    wrefresh(screen.w_full);
}

void confirm(const MenuScreen& screen, const choice_s& entry)
{
    werase(screen.w_desc);
    wattron(screen.w_desc, A_BOLD);
    mvwprintw(
        screen.w_desc, 0, 0, _("You selected the following option: %s"), entry.option != nullptr ? entry.option : "");
    wattroff(screen.w_desc, A_BOLD);
    wrefresh(screen.w_desc);
    waitSeconds(CONFIRMATION_SECONDS);
}

// The input loop; returns the selected position. A non-zero callback result
// ends the process.
int runInputLoop(
    const MenuScreen& screen, CHOICES* c, int (*timeout)(), const std::string (&helpLines)[NUMBER_OF_HELP_LINES])
{
    choice_s* entries = c->choices;
    MenuPosition position;
    position.numberOfEntries = c->inUseNumberOfChoices;
    MenuLoopState state;
    int ch = 0;
    for (;;) {
        // Act on the key; a key from the POS keyboard is acted on at once.
        for (;;) {
            MenuCommand command = menuCommandForKey(ch);
            if (command == MENU_SELECT) {
                state.choiceMade = position.current;
                state.isMenuRefreshRequired = true;
            } else if (command == MENU_IDLE) {
                updateMarqueeText(state, entries[position.current], position.current);
                marquee(state.marqueeText.c_str());
                int posKey = posGetch();
                if (posKey != 0) {
                    ch = posKey;
                    continue;
                }
            } else if (command != MENU_NO_COMMAND) {
                // At the ends of the list a move does nothing.
                if (moveMenuPosition(position, command))
                    showPosition(screen, position);
                state.isMenuRefreshRequired = true;
            }
            break;
        }

        if (isHelpStepTurn(state.loopCount)) {
            drawHelpLine(screen, helpLines[helpLineIndex(state.loopCount)]);
            state.isMenuRefreshRequired = true;
            if (timeout != nullptr) {
                int result = timeout();
                if (result != 0) {
                    destroyMenu();
                    std::exit(result);
                }
            }
            // Keys typed while the callback ran are not meant for this menu.
            discardPendingInput();
        }
        ++state.loopCount;

        if (state.isMenuRefreshRequired) {
            redraw(screen, entries[position.current]);
            state.isMenuRefreshRequired = false;
        }

        ch = wgetch(stdscr);
        if (state.choiceMade != -1)
            return state.choiceMade;
    }
}

} // namespace

CHOICES* choiceAlloc(int numberOfChoices)
{
    if (numberOfChoices < 1)
        return nullptr;
    size_t count = static_cast<size_t>(numberOfChoices);
    // A 32-bit size_t cannot hold the largest counts.
    if (count > (SIZE_MAX - offsetof(CHOICES, choices)) / sizeof(choice_s))
        return nullptr;
    size_t size = offsetof(CHOICES, choices) + count * sizeof(choice_s);
    auto* c = static_cast<CHOICES*>(std::calloc(1, size));
    if (c == nullptr)
        return nullptr;
    c->inUseNumberOfChoices = numberOfChoices;
    return c;
}

void choiceFree(CHOICES* c)
{
    std::free(c);
}

int choice(const char* title, CHOICES* c, int (*timeout)())
{
    if (c == nullptr || c->inUseNumberOfChoices < 1)
        return -1;
    if (title == nullptr)
        title = "";

    int selected = -1;
    {
        MenuScreen screen;
        screen.items.assign(static_cast<size_t>(c->inUseNumberOfChoices) + 1, nullptr);
        initMenu();
        // Keys typed before the menu is shown are not meant for it.
        discardPendingInput();

        const std::string helpLines[NUMBER_OF_HELP_LINES] = {
            fitHelpLine(_("Keyboard navigation : up and down arrow and enter key ")),
            fitHelpLine(_("Numeric keypad navigation : 4=previous 5=select 6=next")),
            fitHelpLine(_("Numeric keypad navigation : 8=page up  2=page down")),
        };

        buildMenu(screen, c);
        mvwaddstr(screen.w_full, TITLE_ROW, titleColumn(title, COLS), title);
        drawHelpLine(screen, helpLines[0]);
        wrefresh(screen.w_menu);
        wrefresh(screen.w_full);

        selected = runInputLoop(screen, c, timeout, helpLines);
        const choice_s* entries = c->choices;
        confirm(screen, entries[selected]);
    }
    destroyMenu();
    ClearAllDisplays();
    return selected;
}

int initMenu()
{
    initscr();
    start_color();
    cbreak();
    noecho();
    // A key read waits at most a tenth of a second, so the loop keeps turning.
    halfdelay(1);
    keypad(stdscr, TRUE);
    isInMenuMode = 1;
    return 0;
}

int destroyMenu()
{
    isInMenuMode = 0;
    endwin();
    int ignored = std::system("clear");
    (void)ignored;
    return 0;
}

void choiceCleanup()
{
    if (isInMenuMode == 1)
        destroyMenu();
}
