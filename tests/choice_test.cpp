// The choice menu: its model without a screen, and the real menu driven in a
// real terminal through the menuDemo program.
#include "choice.h"
#include "choiceModel.h"
#include "sandbox.h"
#include "terminal.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <curses.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{

const char* const HELP_TEXTS[] = {
    "Keyboard navigation : up and down arrow and enter key ",
    "Numeric keypad navigation : 4=previous 5=select 6=next",
    "Numeric keypad navigation : 8=page up  2=page down",
};

// Sets a UTF-8 character type for one test and restores the previous one.
class Utf8Locale
{
public:
    Utf8Locale()
        : previous_(std::setlocale(LC_CTYPE, nullptr))
    {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
    ~Utf8Locale() { std::setlocale(LC_CTYPE, previous_.c_str()); }

private:
    std::string previous_;
};

} // namespace

// ---- Model ------------------------------------------------------------------

TEST(ChoiceModel, KeysMapToTheirCommands)
{
    struct Row {
        int key;
        MenuCommand command;
    };
    const Row rows[] = {
        { KEY_DOWN, MENU_DOWN },
        { '6', MENU_DOWN },
        { KEY_UP, MENU_UP },
        { '4', MENU_UP },
        { KEY_NPAGE, MENU_PAGE_DOWN },
        { '2', MENU_PAGE_DOWN },
        { KEY_PPAGE, MENU_PAGE_UP },
        { '8', MENU_PAGE_UP },
        { '\n', MENU_SELECT },
        { KEY_ENTER, MENU_SELECT },
        { '5', MENU_SELECT },
        { 's', MENU_SELECT },
        { ERR, MENU_IDLE },
        { 0, MENU_NO_COMMAND },
        { 'S', MENU_NO_COMMAND },
        { '\r', MENU_NO_COMMAND },
        { '1', MENU_NO_COMMAND },
        { '3', MENU_NO_COMMAND },
        { '7', MENU_NO_COMMAND },
        { '9', MENU_NO_COMMAND },
        { '0', MENU_NO_COMMAND },
        { KEY_LEFT, MENU_NO_COMMAND },
        { KEY_HOME, MENU_NO_COMMAND },
    };
    for (const Row& row : rows)
        EXPECT_EQ(menuCommandForKey(row.key), row.command) << "key " << row.key;
}

TEST(ChoiceModel, MovesAndScrollsLikeAOneColumnMenuWithoutWrapAround)
{
    struct Row {
        const char* name;
        int entries, current, top;
        MenuCommand command;
        int expectedCurrent, expectedTop;
        bool changed;
    };
    const Row rows[] = {
        { "down in the middle", 5, 2, 0, MENU_DOWN, 3, 0, true },
        { "down on the last entry", 5, 4, 0, MENU_DOWN, 4, 0, false },
        { "up on the first entry", 5, 0, 0, MENU_UP, 0, 0, false },
        { "up in the middle", 5, 3, 0, MENU_UP, 2, 0, true },
        { "down below the last visible row scrolls one", 40, 15, 0, MENU_DOWN, 16, 1, true },
        { "up above the first visible row scrolls one", 40, 16, 16, MENU_UP, 15, 15, true },
        { "page down a full page", 40, 3, 0, MENU_PAGE_DOWN, 19, 16, true },
        { "page down what is left", 40, 16, 16, MENU_PAGE_DOWN, 24, 24, true },
        { "page down at the end", 40, 30, 24, MENU_PAGE_DOWN, 30, 24, false },
        { "page down on 20 entries", 20, 0, 0, MENU_PAGE_DOWN, 4, 4, true },
        { "page down on 16 entries", 16, 0, 0, MENU_PAGE_DOWN, 0, 0, false },
        { "page down on 3 entries", 3, 1, 0, MENU_PAGE_DOWN, 1, 0, false },
        { "page up a full page", 40, 24, 24, MENU_PAGE_UP, 8, 8, true },
        { "page up what is left", 20, 10, 4, MENU_PAGE_UP, 6, 0, true },
        { "page up at the top", 40, 5, 0, MENU_PAGE_UP, 5, 0, false },
        { "page up on 16 entries", 16, 9, 0, MENU_PAGE_UP, 9, 0, false },
        { "selection does not move", 5, 2, 0, MENU_SELECT, 2, 0, false },
        { "idle does not move", 5, 2, 0, MENU_IDLE, 2, 0, false },
    };
    for (const Row& row : rows) {
        MenuPosition position { row.entries, row.current, row.top };
        EXPECT_EQ(moveMenuPosition(position, row.command), row.changed) << row.name;
        EXPECT_EQ(position.current, row.expectedCurrent) << row.name;
        EXPECT_EQ(position.top, row.expectedTop) << row.name;
    }
}

TEST(ChoiceModel, HelpLineStepsEveryHundredTurnsStartingWithTheFirst)
{
    struct Row {
        long loopCount;
        bool isStep;
        int line;
    };
    const Row rows[] = {
        { 0, true, 0 },
        { 1, false, 0 },
        { 99, false, 0 },
        { 100, true, 1 },
        { 150, false, 1 },
        { 200, true, 2 },
        { 299, false, 2 },
        { 300, true, 0 },
        { 400, true, 1 },
        { 3000, true, 0 },
    };
    for (const Row& row : rows) {
        EXPECT_EQ(isHelpStepTurn(row.loopCount), row.isStep) << "turn " << row.loopCount;
        EXPECT_EQ(helpLineIndex(row.loopCount), row.line) << "turn " << row.loopCount;
    }
}

TEST(ChoiceModel, MarqueeTextIsRebuiltOnlyWhenTheCurrentEntryChanges)
{
    char first[] = "Cashier";
    char firstDescription[] = "Front desk";
    char second[] = "Manager";
    char secondDescription[] = "Back office";
    choice_s entries[] = { { first, firstDescription, 0 }, { second, secondDescription, 0 } };
    MenuLoopState state;
    EXPECT_TRUE(updateMarqueeText(state, entries[0], 0));
    EXPECT_EQ(state.marqueeText, "Cashier - Front desk");
    EXPECT_FALSE(updateMarqueeText(state, entries[0], 0));
    EXPECT_TRUE(updateMarqueeText(state, entries[1], 1));
    EXPECT_EQ(state.marqueeText, "Manager - Back office");
    EXPECT_EQ(state.lastSelection, 1);
}

TEST(ChoiceModel, OptionTextsAreCutAtTheLastCharacterBoundaryWithin32Bytes)
{
    const std::string ascii40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
    const std::string ae = "\xC3\xA4"; // 2 bytes
    const std::string euro = "\xE2\x82\xAC"; // 3 bytes
    const std::string smile = "\xF0\x9F\x98\x80"; // 4 bytes
    struct Row {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Row rows[] = {
        { "40 ASCII characters", ascii40, ascii40.substr(0, 32) },
        { "33 ASCII characters", ascii40.substr(0, 33), ascii40.substr(0, 32) },
        { "32 ASCII characters", ascii40.substr(0, 32), ascii40.substr(0, 32) },
        { "empty", "", "" },
        { "two-byte character across the limit", ascii40.substr(0, 31) + ae + "x", ascii40.substr(0, 31) },
        { "two-byte character ending at the limit", ascii40.substr(0, 30) + ae + "xy", ascii40.substr(0, 30) + ae },
        { "three-byte characters", euro + euro + euro + euro + euro + euro + euro + euro + euro + euro + euro,
            euro + euro + euro + euro + euro + euro + euro + euro + euro + euro },
        { "four-byte character across the limit", ascii40.substr(0, 29) + smile, ascii40.substr(0, 29) },
        { "32 bytes of UTF-8 unchanged", ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae,
            ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae + ae },
        { "not UTF-8: cut at the limit", std::string(40, '\xA7'), std::string(32, '\xA7') },
    };
    for (const Row& row : rows) {
        std::vector<char> buffer(row.text.begin(), row.text.end());
        buffer.push_back('\0');
        size_t length = cutOptionText(buffer.data());
        EXPECT_EQ(std::string(buffer.data()), row.expected) << row.name;
        EXPECT_EQ(length, row.expected.size()) << row.name;
    }
}

TEST(ChoiceModel, AsciiHelpLinesArePaddedAndCutExactlyLikePrintf)
{
    std::vector<std::string> texts(std::begin(HELP_TEXTS), std::end(HELP_TEXTS));
    texts.push_back(std::string(80, 'h'));
    texts.push_back("");
    for (const std::string& text : texts) {
        char expected[80];
        std::snprintf(expected, sizeof expected, "%-68.68s", text.c_str());
        EXPECT_EQ(fitHelpLine(text.c_str()), expected) << text;
    }
}

TEST(ChoiceModel, Utf8HelpLinesCoverExactly68ColumnsWithoutSplittingCharacters)
{
    Utf8Locale locale;
    const std::string ae = "\xC3\xA4";
    // 10 two-byte characters and 10 ASCII: 20 columns, 30 bytes.
    std::string shortText;
    for (int i = 0; i < 10; ++i)
        shortText += ae + "a";
    std::string fitted = fitHelpLine(shortText.c_str());
    EXPECT_EQ(fitted, shortText + std::string(48, ' '));

    // 70 two-byte characters: cut after the 68th, not after 68 bytes.
    std::string longText;
    for (int i = 0; i < 70; ++i)
        longText += ae;
    EXPECT_EQ(fitHelpLine(longText.c_str()), longText.substr(0, 68 * ae.size()));
}

TEST(ChoiceModel, TitleIsCentredByItsScreenWidth)
{
    Utf8Locale locale;
    struct Row {
        const char* title;
        int columns;
        int expected;
    };
    const Row rows[] = {
        { "Set Terminal Role", 80, 31 },
        { "Choose terminal number", 80, 29 },
        { "Set Terminal Role", 100, 41 },
        { "", 80, 40 },
        { "Terminalrolle w\xC3\xA4hlen", 80, 30 }, // 21 columns, 22 bytes
        { "A title far wider than the narrow screen it is shown on", 20, 0 },
    };
    for (const Row& row : rows)
        EXPECT_EQ(titleColumn(row.title, row.columns), row.expected) << row.title << " on " << row.columns;
}

// ---- Entry list ----------------------------------------------------------------

TEST(ChoiceList, AllocRefusesCountsBelowOne)
{
    EXPECT_EQ(choiceAlloc(0), nullptr);
    EXPECT_EQ(choiceAlloc(-3), nullptr);
}

TEST(ChoiceList, AllocGivesZeroFilledEntries)
{
    CHOICES* list = choiceAlloc(300);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->inUseNumberOfChoices, 300);
    EXPECT_EQ(list->allocationNumberOfChoices, 0);
    const choice_s* entries = list->choices;
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(entries[i].option, nullptr) << i;
        EXPECT_EQ(entries[i].description, nullptr) << i;
        EXPECT_EQ(entries[i].callerParm, 0) << i;
    }
    choiceFree(list);
}

TEST(ChoiceList, ChoiceRefusesAnEmptyOrMissingListWithoutTouchingTheTerminal)
{
    CHOICES empty {};
    EXPECT_EQ(choice("Title", &empty, nullptr), -1);
    EXPECT_EQ(choice("Title", nullptr, nullptr), -1);
}

// ---- The menu in a real terminal ---------------------------------------------

namespace
{

// Screen places of the layout on an 80 by 25 terminal.
constexpr int FIRST_ENTRY_ROW = 3; // w_menu row 2, its sub-window row 1
constexpr int MARK_COLUMN = 5; // w_menu column 4, its sub-window column 1
constexpr int OPTION_COLUMN = 8; // after the mark " * "
constexpr int DESCRIPTION_ROW = 20;
constexpr int DESCRIPTION_COLUMN = 4;

class ChoiceMenu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Terminal::available())
            GTEST_SKIP() << "tmux is not available";
        box.setEnv("LANG", "C.UTF-8");
        box.setEnv("MENU_CALLBACK_LOG", box.dir() + "/callbacks.log");
        options.standardErrorPath = box.dir() + "/menu.err";
    }

    // The menu writes nothing to standard error: no trace, and no report of
    // a sanitizer in the instrumented build.
    void TearDown() override
    {
        std::ifstream in(options.standardErrorPath);
        std::string errors((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(errors, "");
    }

    // Starts menuDemo with args and, unless waitFor is empty, waits until
    // that text is on the screen.
    void startMenu(const std::vector<std::string>& args, const std::string& waitFor)
    {
        options.environment = box.environment();
        ASSERT_TRUE(terminal.start(Sandbox::programPath("menuDemo"), args, options)) << terminal.error();
        if (!waitFor.empty()) {
            ASSERT_TRUE(terminal.waitForText(waitFor)) << terminal.dump();
        }
    }

    void startNumberedMenu(int count)
    {
        startMenu({ "-n", std::to_string(count), "Choose terminal number" }, "About entry 1");
    }

    // The option text on the row the mark " * " is on; "" when no row has it.
    static std::string markedOption(const std::vector<std::string>& screen)
    {
        ScreenPosition mark = Terminal::find(screen, " * ");
        if (mark.row < 0 || mark.column != MARK_COLUMN)
            return "";
        return optionAt(screen, mark.row);
    }
    std::string markedOption() const { return markedOption(terminal.screen()); }

    static std::string optionAt(const std::vector<std::string>& screen, int row)
    {
        return trimmed(Terminal::textAt(screen, row, OPTION_COLUMN, 40));
    }
    std::string optionAt(int row) const { return optionAt(terminal.screen(), row); }

    static std::string descriptionLine(const std::vector<std::string>& screen, int offset = 0)
    {
        return trimmed(Terminal::textAt(screen, DESCRIPTION_ROW + offset, DESCRIPTION_COLUMN, 70));
    }
    std::string descriptionLine(int offset = 0) const { return descriptionLine(terminal.screen(), offset); }

    static std::string trimmed(std::string text)
    {
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text;
    }

    // Waits until the mark is on the entry with this option text.
    bool waitForMark(const std::string& option) const
    {
        return terminal.waitUntil([&](const auto& screen) { return markedOption(screen) == option; });
    }

    std::string output() const
    {
        std::string text;
        for (const std::string& line : terminal.screen())
            text += line + "\n";
        return text;
    }

    int callbackCalls() const
    {
        std::ifstream in(box.dir() + "/callbacks.log");
        std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int calls = 0;
        for (size_t at = log.find("call "); at != std::string::npos; at = log.find("call ", at + 1))
            ++calls;
        return calls;
    }

    Sandbox box;
    Terminal terminal;
    TerminalOptions options;
};

const std::vector<std::string> THREE_ROLES
    = { "Set Terminal Role", "Cashier", "Front desk till", "Manager", "Back office", "Kiosk", "Self service" };

} // namespace

TEST_F(ChoiceMenu, LayoutPlacesTitleMarkDescriptionAndHelpLine)
{
    struct Size {
        int columns, lines;
    };
    for (Size size : { Size { 80, 25 }, Size { 100, 30 } }) {
        SCOPED_TRACE(std::to_string(size.columns) + "x" + std::to_string(size.lines));
        Terminal sized;
        TerminalOptions sizedOptions;
        sizedOptions.columns = size.columns;
        sizedOptions.lines = size.lines;
        sizedOptions.environment = box.environment();
        ASSERT_TRUE(sized.start(Sandbox::programPath("menuDemo"), THREE_ROLES, sizedOptions)) << sized.error();
        ASSERT_TRUE(sized.waitForText("Front desk till")) << sized.dump();

        ScreenPosition title = sized.find("Set Terminal Role");
        EXPECT_EQ(title.row, 1);
        EXPECT_EQ(title.column, (size.columns - 17) / 2);
        ScreenPosition mark = sized.find(" * Cashier");
        EXPECT_EQ(mark.row, FIRST_ENTRY_ROW);
        EXPECT_EQ(mark.column, MARK_COLUMN);
        EXPECT_EQ(sized.textAt(FIRST_ENTRY_ROW + 1, MARK_COLUMN, 10), "   Manager");
        EXPECT_EQ(sized.textAt(FIRST_ENTRY_ROW + 2, MARK_COLUMN, 8), "   Kiosk");
        ScreenPosition description = sized.find("Front desk till");
        EXPECT_EQ(description.row, DESCRIPTION_ROW);
        EXPECT_EQ(description.column, DESCRIPTION_COLUMN);
        ScreenPosition help = sized.find(HELP_TEXTS[0]);
        EXPECT_EQ(help.row, size.lines - 2);
        EXPECT_EQ(help.column, 4);
        // The border runs round the whole screen.
        EXPECT_EQ(sized.textAt(0, 0, 1), "\u250C");
        EXPECT_EQ(sized.textAt(size.lines - 1, size.columns - 1, 1), "\u2518");
        EXPECT_EQ(sized.paneFormat("#{alternate_on}"), "1");
    }
}

TEST_F(ChoiceMenu, ArrowAndKeypadKeysMoveTheMarkAndTheDescription)
{
    struct Row {
        std::vector<std::string> keys;
        const char* option;
        const char* description;
    };
    const Row rows[] = {
        { { "Down" }, "Manager", "Back office" },
        { { "Down" }, "Kiosk", "Self service" },
        { { "Up" }, "Manager", "Back office" },
        { { "4" }, "Cashier", "Front desk till" },
        { { "6", "6" }, "Kiosk", "Self service" },
        { { "4" }, "Manager", "Back office" },
    };
    startMenu(THREE_ROLES, "Front desk till");
    for (const Row& row : rows) {
        ASSERT_TRUE(terminal.sendKeys(row.keys)) << terminal.error();
        EXPECT_TRUE(waitForMark(row.option)) << row.option << "\n" << terminal.dump();
        EXPECT_TRUE(terminal.waitUntil([&](const auto& screen) { return descriptionLine(screen) == row.description; }))
            << row.description << "\n"
            << terminal.dump();
    }
}

TEST_F(ChoiceMenu, MovesStopAtTheEndsOfTheList)
{
    startMenu(THREE_ROLES, "Front desk till");
    ASSERT_TRUE(terminal.sendKeys({ "Up", "4" }));
    ASSERT_TRUE(terminal.sendKeys({ "x" })); // a key after them shows they were read
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(markedOption(), "Cashier") << terminal.dump();
    ASSERT_TRUE(terminal.sendKeys({ "Down", "Down", "Down", "6", "Down" }));
    EXPECT_TRUE(waitForMark("Kiosk")) << terminal.dump();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(markedOption(), "Kiosk") << terminal.dump();
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW), "Cashier") << "the list must not scroll";
}

TEST_F(ChoiceMenu, PageKeysScrollALongListSixteenEntriesAtATime)
{
    struct Row {
        const char* key;
        const char* top;
        const char* marked;
    };
    // 40 entries: a page down moves by 16 rows, the last one by what is left.
    const Row rows[] = {
        { "NPage", "Entry 17", "Entry 17" },
        { "2", "Entry 25", "Entry 25" },
        { "2", "Entry 25", "Entry 25" },
        { "8", "Entry 9", "Entry 9" },
        { "PPage", "Entry 1", "Entry 1" },
    };
    startNumberedMenu(40);
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW + 15), "Entry 16");
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW + 16), "") << "only 16 entries are visible";
    for (const Row& row : rows) {
        ASSERT_TRUE(terminal.sendKeys({ row.key }));
        EXPECT_TRUE(terminal.waitUntil([&](const auto& screen) {
            return optionAt(screen, FIRST_ENTRY_ROW) == row.top;
        })) << row.key
            << " " << row.top << "\n"
            << terminal.dump();
        EXPECT_TRUE(waitForMark(row.marked)) << row.key << "\n" << terminal.dump();
    }
}

TEST_F(ChoiceMenu, PageKeysDoNothingOnSixteenEntriesOrFewer)
{
    startNumberedMenu(16);
    ASSERT_TRUE(terminal.sendKeys({ "Down", "Down" }));
    ASSERT_TRUE(waitForMark("Entry 3")) << terminal.dump();
    ASSERT_TRUE(terminal.sendKeys({ "NPage", "2", "PPage", "8" }));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(markedOption(), "Entry 3") << terminal.dump();
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW), "Entry 1");
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW + 15), "Entry 16");
}

TEST_F(ChoiceMenu, EachSelectionKeyReturnsTheCurrentPosition)
{
    struct Row {
        const char* key;
        const char* terminalType;
    };
    // Enter arrives as a carriage return and reaches the menu as a line feed;
    // the keypad's Enter is KEY_ENTER where the terminal type knows it.
    const Row rows[]
        = { { "Enter", "screen" }, { "C-j", "screen" }, { "5", "screen" }, { "s", "screen" }, { "KPEnter", "xterm" } };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        Sandbox runBox;
        runBox.setEnv("LANG", "C.UTF-8");
        Terminal run;
        TerminalOptions runOptions;
        runOptions.terminalType = row.terminalType;
        runOptions.environment = runBox.environment();
        ASSERT_TRUE(run.start(Sandbox::programPath("menuDemo"), THREE_ROLES, runOptions)) << run.error();
        ASSERT_TRUE(run.waitForText("Front desk till")) << run.dump();
        ASSERT_TRUE(run.sendKeys({ "Down" }));
        ASSERT_TRUE(run.waitForText("Back office")) << run.dump();
        ASSERT_TRUE(run.sendKeys({ row.key }));
        EXPECT_EQ(run.waitForExit(), 0) << run.dump();
        EXPECT_TRUE(run.waitForText("selected position 1 option Manager callerParm 101")) << run.dump();
        EXPECT_EQ(runBox.commands(), std::vector<std::string> { "clear" });
    }
}

TEST_F(ChoiceMenu, ConfirmationShowsTheSelectionInBoldForTwoSeconds)
{
    box.setEnv("POSQOR_WAIT_SCALE", "100");
    startMenu(THREE_ROLES, "Front desk till");
    ASSERT_TRUE(terminal.sendKeys({ "6", "5" }));
    ASSERT_TRUE(terminal.waitForText("You selected the following option: Manager")) << terminal.dump();
    auto shown = std::chrono::steady_clock::now();
    EXPECT_EQ(terminal.find("You selected the following option: Manager").row, DESCRIPTION_ROW);
    EXPECT_EQ(terminal.find("You selected the following option: Manager").column, DESCRIPTION_COLUMN);
    EXPECT_NE(terminal.styledScreen().find("\033[1mYou selected the following option: Manager"), std::string::npos)
        << terminal.styledScreen();
    EXPECT_EQ(terminal.find("Back office").row, -1) << "the description makes room for the confirmation";
    ASSERT_EQ(terminal.waitForExit(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - shown, 1500ms);
    EXPECT_EQ(box.waits(), std::vector<unsigned long> { 2000 });
    EXPECT_EQ(terminal.paneFormat("#{alternate_on}"), "0");
}

TEST_F(ChoiceMenu, HelpLineCyclesThroughItsThreeTextsEveryHundredTurns)
{
    startMenu(THREE_ROLES, "Front desk till");
    const int helpRow = 23;
    auto expectedRow = [](const char* text) {
        char help[80];
        std::snprintf(help, sizeof help, "%-68.68s", text);
        return "\u2502   " + std::string(help) + std::string(7, ' ') + "\u2502";
    };
    EXPECT_EQ(terminal.row(helpRow), expectedRow(HELP_TEXTS[0]));
    // Keys the menu ignores still end a turn each, so a burst of them runs a
    // hundred turns at once; the rest are discarded after the callback.
    const std::string burst(150, 'x');
    for (int step = 1; step <= 3; ++step) {
        const char* text = HELP_TEXTS[step % 3];
        ASSERT_TRUE(terminal.typeText(burst));
        EXPECT_TRUE(terminal.waitUntil([&](const auto& screen) { return screen[helpRow] == expectedRow(text); }))
            << "step " << step << "\n"
            << terminal.dump();
        EXPECT_EQ(callbackCalls(), step + 1) << "the callback is due with each help step";
    }
    EXPECT_EQ(markedOption(), "Cashier");
    EXPECT_FALSE(terminal.exitStatus().has_value()) << "the menu waits while the callback returns 0";
}

TEST_F(ChoiceMenu, CallbackIsCalledInTheFirstTurnBeforeAnyKey)
{
    box.setEnv("MENU_CALLBACK_RESULT", "7");
    box.setEnv("MENU_CALLBACK_CALL", "1");
    startMenu(THREE_ROLES, "");
    EXPECT_EQ(terminal.waitForExit(3000ms), 7) << terminal.dump();
    EXPECT_EQ(callbackCalls(), 1);
    EXPECT_EQ(box.commands(), std::vector<std::string> { "clear" });
}

TEST_F(ChoiceMenu, CallbackResultThreeOnItsSecondCallEndsTheProcessWithTheTerminalRestored)
{
    box.setEnv("MENU_CALLBACK_RESULT", "3");
    box.setEnv("MENU_CALLBACK_CALL", "2");
    startMenu(THREE_ROLES, "Front desk till");
    auto shown = std::chrono::steady_clock::now();
    ASSERT_EQ(terminal.paneFormat("#{alternate_on}"), "1");
    std::optional<int> status = terminal.waitForExit(30000ms);
    auto elapsed = std::chrono::steady_clock::now() - shown;
    ASSERT_EQ(status, 3) << terminal.dump();
    // A hundred turns of at most a tenth of a second each, with no key.
    EXPECT_GE(elapsed, 8s);
    EXPECT_LE(elapsed, 20s);
    EXPECT_EQ(callbackCalls(), 2);
    std::string modes = terminal.terminalModesAfterExit();
    EXPECT_NE(modes.find(" icanon"), std::string::npos) << modes;
    EXPECT_NE(modes.find(" echo "), std::string::npos) << modes;
    EXPECT_EQ(terminal.paneFormat("#{alternate_on}"), "0");
    EXPECT_EQ(terminal.paneFormat("#{keypad_cursor_flag}"), "0");
    EXPECT_EQ(box.commands(), std::vector<std::string> { "clear" });
    EXPECT_EQ(output().find("selected position"), std::string::npos);
}

TEST_F(ChoiceMenu, ExitFromInsideTheMenuRestoresTheTerminalThroughChoiceCleanup)
{
    box.setEnv("MENU_CALLBACK_RESULT", "5");
    box.setEnv("MENU_CALLBACK_CALL", "1");
    box.setEnv("MENU_CALLBACK_CLEANUP", "1");
    startMenu(THREE_ROLES, "");
    ASSERT_EQ(terminal.waitForExit(3000ms), 5) << terminal.dump();
    std::string modes = terminal.terminalModesAfterExit();
    EXPECT_NE(modes.find(" icanon"), std::string::npos) << modes;
    EXPECT_NE(modes.find(" echo "), std::string::npos) << modes;
    EXPECT_EQ(terminal.paneFormat("#{alternate_on}"), "0");
    EXPECT_EQ(box.commands(), std::vector<std::string> { "clear" }) << "the menu is left once";
}

TEST_F(ChoiceMenu, KeysTypedBeforeTheMenuAreDiscarded)
{
    box.setEnv("MENU_START_DELAY_MS", "1500");
    startMenu(THREE_ROLES, "");
    ASSERT_TRUE(terminal.typeText("665"));
    ASSERT_TRUE(terminal.waitForText("Front desk till", 6000ms)) << terminal.dump();
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(terminal.exitStatus().has_value()) << terminal.dump();
    EXPECT_EQ(markedOption(), "Cashier") << terminal.dump();
    ASSERT_TRUE(terminal.sendKeys({ "Enter" }));
    EXPECT_EQ(terminal.waitForExit(), 0);
    EXPECT_TRUE(terminal.waitForText("selected position 0 option Cashier")) << terminal.dump();
}

TEST_F(ChoiceMenu, KeysTypedWhileTheCallbackRunsAreDiscarded)
{
    box.setEnv("MENU_CALLBACK_DELAY_MS", "1500");
    startMenu(THREE_ROLES, "Set Terminal Role");
    // The first callback call runs now, before the description is drawn.
    ASSERT_TRUE(terminal.typeText("665"));
    ASSERT_TRUE(terminal.waitForText("Front desk till", 6000ms)) << terminal.dump();
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(terminal.exitStatus().has_value()) << terminal.dump();
    EXPECT_EQ(markedOption(), "Cashier") << terminal.dump();
    ASSERT_TRUE(terminal.sendKeys({ "s" }));
    EXPECT_EQ(terminal.waitForExit(), 0);
    EXPECT_TRUE(terminal.waitForText("selected position 0 option Cashier")) << terminal.dump();
}

TEST_F(ChoiceMenu, LongOptionIsShownConfirmedAndLeftCutTo32Characters)
{
    const std::string long40 = "Cashier with a name of forty characters!";
    const std::string exact32 = "Manager name of 32 characters ..";
    ASSERT_EQ(long40.size(), 40u);
    ASSERT_EQ(exact32.size(), 32u);
    box.setEnv("POSQOR_WAIT_SCALE", "50");
    startMenu({ "Set Terminal Role", long40, "First", exact32, "Second" }, "First");
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW), long40.substr(0, 32));
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW + 1), exact32);
    ASSERT_TRUE(terminal.sendKeys({ "Enter" }));
    EXPECT_TRUE(terminal.waitUntil([&](const auto& screen) {
        return descriptionLine(screen) == "You selected the following option: " + long40.substr(0, 32);
    })) << terminal.dump();
    EXPECT_EQ(terminal.waitForExit(), 0);
    EXPECT_TRUE(terminal.waitForText("selected position 0 option " + long40.substr(0, 32) + " callerParm 100"))
        << terminal.dump();
}

TEST_F(ChoiceMenu, Utf8OptionIsCutWithoutSplittingACharacter)
{
    // "Überprüfung " is 12 characters in 14 bytes; 17 more "ä" make 48 bytes.
    std::string option = "\xC3\x9C"
                         "berpr\xC3\xBC"
                         "fung ";
    for (int i = 0; i < 17; ++i)
        option += "\xC3\xA4";
    std::string cut = option.substr(0, 32); // 14 + 9 * 2 bytes
    startMenu({ "Rolle w\xC3\xA4hlen", option,
                  "Pr\xC3\xBC"
                  "fung",
                  "Kasse", "Verkauf" },
        "Pr\xC3\xBC"
        "fung");
    EXPECT_EQ(optionAt(FIRST_ENTRY_ROW), cut) << terminal.dump();
    EXPECT_EQ(terminal.find("Rolle w\xC3\xA4hlen").column, (80 - 12) / 2);
    ASSERT_TRUE(terminal.sendKeys({ "5" }));
    EXPECT_EQ(terminal.waitForExit(), 0);
    EXPECT_TRUE(terminal.waitForText("selected position 0 option " + cut + " callerParm 100")) << terminal.dump();
}

TEST_F(ChoiceMenu, LongDescriptionWrapsWithinItsThreeRows)
{
    std::string description;
    for (int i = 0; i < 30; ++i)
        description += "word" + std::to_string(i % 10) + "abcd ";
    startMenu({ "Set Terminal Role", "Cashier", description, "Manager", "Back office" }, "word0abcd");
    // Each row holds 70 characters; the rows end on a word's blank here.
    EXPECT_EQ(descriptionLine(0) + " ", description.substr(0, 70));
    EXPECT_EQ(descriptionLine(1) + " ", description.substr(70, 70));
    EXPECT_EQ(descriptionLine(2) + " ", description.substr(140, 70));
    EXPECT_GT(description.size(), 210u) << "the rest does not fit and is lost";
    EXPECT_NE(terminal.find(HELP_TEXTS[0]).row, -1) << "the help line stays";
}

TEST_F(ChoiceMenu, EmptyListIsRefusedWithoutShowingAMenu)
{
    startMenu({ "-e", "Set Terminal Role" }, "choice on null returned");
    EXPECT_EQ(terminal.waitForExit(), 0);
    std::string screen = output();
    EXPECT_NE(screen.find("choiceAlloc refused"), std::string::npos) << screen;
    EXPECT_NE(screen.find("choice returned -1"), std::string::npos) << screen;
    EXPECT_NE(screen.find("choice on null returned -1"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Set Terminal Role"), std::string::npos) << screen;
    EXPECT_TRUE(box.commands().empty());
}

TEST_F(ChoiceMenu, SecondMenuInTheSameProcessWorksLikeTheFirst)
{
    box.setEnv("MENU_REPEAT", "2");
    startMenu(THREE_ROLES, "Front desk till");
    ASSERT_TRUE(terminal.sendKeys({ "Down" }));
    ASSERT_TRUE(waitForMark("Manager")) << terminal.dump();
    ASSERT_TRUE(terminal.sendKeys({ "Enter" }));
    // The second menu starts again on the first entry.
    ASSERT_TRUE(terminal.waitUntil([&](const auto& screen) { return markedOption(screen) == "Cashier"; }))
        << terminal.dump();
    ASSERT_TRUE(terminal.waitForText("Front desk till")) << terminal.dump();
    EXPECT_EQ(terminal.paneFormat("#{alternate_on}"), "1");
    ASSERT_TRUE(terminal.sendKeys({ "Down", "Down" }));
    ASSERT_TRUE(waitForMark("Kiosk")) << terminal.dump();
    ASSERT_TRUE(terminal.sendKeys({ "Enter" }));
    EXPECT_EQ(terminal.waitForExit(), 0);
    EXPECT_TRUE(terminal.waitForText("selected position 2 option Kiosk")) << terminal.dump();
    std::string screen = output();
    EXPECT_NE(screen.find("selected position 1 option Manager"), std::string::npos) << screen;
    EXPECT_EQ(box.commands(), (std::vector<std::string> { "clear", "clear" }));
}
