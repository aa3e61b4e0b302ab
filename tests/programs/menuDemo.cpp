// Runs the choice menu on a list given on the command line, for tests that
// drive it in a real terminal, and prints what was selected.
//
//   menuDemo TITLE OPTION DESCRIPTION [OPTION DESCRIPTION]...
//   menuDemo -n COUNT TITLE    entries "Entry 1" .. "Entry COUNT", each
//                              described as "About entry N"
//   menuDemo -e TITLE          an empty list (choiceAlloc(0)), then choice()
//                              on it
//
// Environment:
//   MENU_CALLBACK_RESULT   value the callback returns on its call number
//                          MENU_CALLBACK_CALL (default 1); 0 on every other
//                          call. Unset: the callback always returns 0.
//   MENU_CALLBACK_CLEANUP  when set, the callback ends the process itself on
//                          that call, as an exit from inside the menu does:
//                          choiceCleanup() twice, then exit with the value
//   MENU_CALLBACK_LOG      file that receives one line "call N" per call
//   MENU_CALLBACK_DELAY_MS time each callback call takes
//   MENU_START_DELAY_MS    time before the menu starts (for typeahead)
//   MENU_REPEAT            number of menus shown one after the other on the
//                          same list (default 1)
//
// After each menu: "selected position P option TEXT callerParm C" on
// standard output. Each entry's callerParm is 100 + its position.
#include "choice.h"
#include "prepareForNLS.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace
{

int callbackCalls = 0;

int numberFromEnvironment(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::atoi(value) : fallback;
}

// A real pause: these delays stand for a slow operator or a slow server, so
// they must not shrink with the system's wait scale.
void pauseMilliseconds(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    timespec pause { milliseconds / 1000, (milliseconds % 1000) * 1000000L };
    while (nanosleep(&pause, &pause) != 0) { }
}

int callback()
{
    ++callbackCalls;
    if (const char* log = std::getenv("MENU_CALLBACK_LOG")) {
        if (FILE* file = std::fopen(log, "a")) {
            std::fprintf(file, "call %d\n", callbackCalls);
            std::fclose(file);
        }
    }
    pauseMilliseconds(numberFromEnvironment("MENU_CALLBACK_DELAY_MS", 0));
    if (std::getenv("MENU_CALLBACK_RESULT") == nullptr
        || callbackCalls != numberFromEnvironment("MENU_CALLBACK_CALL", 1))
        return 0;
    int result = numberFromEnvironment("MENU_CALLBACK_RESULT", 0);
    if (std::getenv("MENU_CALLBACK_CLEANUP") != nullptr) {
        choiceCleanup();
        choiceCleanup(); // the second call finds the menu already left
        std::exit(result);
    }
    return result;
}

int usage()
{
    std::fprintf(stderr, "usage: menuDemo TITLE OPTION DESCRIPTION...| -n COUNT TITLE | -e TITLE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    prepareForNLS();
    std::vector<std::string> texts; // option, description, option, ...
    const char* title = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "-e") == 0) {
        title = argv[2];
        CHOICES* refused = choiceAlloc(0);
        std::printf("choiceAlloc %s\n", refused == nullptr ? "refused" : "accepted");
        choiceFree(refused);
        CHOICES empty {};
        std::printf("choice returned %d\n", choice(title, &empty, callback));
        std::printf("choice on null returned %d\n", choice(title, nullptr, callback));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "-n") == 0) {
        title = argv[3];
        int count = std::atoi(argv[2]);
        for (int number = 1; number <= count; ++number) {
            texts.push_back("Entry " + std::to_string(number));
            texts.push_back("About entry " + std::to_string(number));
        }
    } else if (argc >= 4 && argc % 2 == 0) {
        title = argv[1];
        texts.assign(argv + 2, argv + argc);
    } else {
        return usage();
    }

    // The menu cuts option texts in place, so it gets writable copies.
    std::vector<std::vector<char>> buffers;
    for (const std::string& text : texts)
        buffers.emplace_back(text.c_str(), text.c_str() + text.size() + 1);
    int count = static_cast<int>(texts.size() / 2);
    CHOICES* list = choiceAlloc(count);
    if (list == nullptr)
        return usage();
    choice_s* entries = list->choices;
    for (int position = 0; position < count; ++position) {
        entries[position].option = buffers[2 * position].data();
        entries[position].description = buffers[2 * position + 1].data();
        entries[position].callerParm = 100 + position;
    }

    pauseMilliseconds(numberFromEnvironment("MENU_START_DELAY_MS", 0));
    int repeat = numberFromEnvironment("MENU_REPEAT", 1);
    for (int run = 0; run < repeat; ++run) {
        int position = choice(title, list, callback);
        if (position < 0 || position >= count) {
            std::printf("choice returned %d\n", position);
            continue;
        }
        std::printf("selected position %d option %s callerParm %d\n", position, entries[position].option,
            entries[position].callerParm);
        std::fflush(stdout);
    }
    choiceFree(list);
    return 0;
}
