// The operating-system surface the program uses: the entry point's argument types and
// Sleep. Sleep goes through the process clock, so it runs on virtual time in tests.
#pragma once

typedef void* HINSTANCE;
typedef char* LPSTR;

// Blocks the calling thread; processes no panel events.
void Sleep(unsigned int milliseconds);

// The program's entry point (defined by the application).
int WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpszCmdLine, int nCmdShow);

// The program's module as the process loader hands it over (defined by the
// application): its callback table and its panel contract.
struct ProgramModule;
extern const ProgramModule programModule;
