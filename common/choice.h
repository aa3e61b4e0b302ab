// The full-screen choice menu used for every operator decision.
#pragma once

typedef struct choice_s {
    char* option; // shown in the list; cut in place to 32 bytes
    char* description; // shown in the description window
    int callerParm; // the caller's own value for this entry
} choice_s;

typedef struct choices_s {
    int allocationNumberOfChoices;
    int inUseNumberOfChoices;
    choice_s choices[1]; // inUseNumberOfChoices entries follow inline
} CHOICES;

// A zero-filled list of numberOfChoices entries; null when numberOfChoices is
// below 1 or memory runs out.
CHOICES* choiceAlloc(int numberOfChoices);
void choiceFree(CHOICES* c);
// Runs the menu; the position of the selected entry, or -1 for an empty or
// null list (nothing is shown then). A non-zero timeout() result ends the
// process with that status.
int choice(const char* title, CHOICES* c, int (*timeout)(void));
int initMenu();
int destroyMenu();
// Leaves curses mode if the menu had entered it.
void choiceCleanup();
