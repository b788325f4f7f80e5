// e2e-boxes.exe RECORD_FILE [ANSWERS]
//
// Answers the program's message boxes inside a wine prefix whose graphics
// driver is "null" (the boxes exist but nobody sees them). It waits for each
// box captioned "TALVEK", appends one line to RECORD_FILE:
//
//   <kind> <text in hex>      kind: yesno, okcancel or ok
//
// and presses a button: the next of ANSWERS (comma-separated yes, no, ok,
// cancel) for a question, Yes or OK when they have run out, OK for a notice.
// It runs until it is killed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> SplitAnswers(const char* list) {
  std::vector<std::string> answers;
  std::string word;
  for (const char* p = list; *p != '\0'; ++p) {
    if (*p == ',') {
      answers.push_back(word);
      word.clear();
    } else {
      word += *p;
    }
  }
  if (!word.empty()) answers.push_back(word);
  return answers;
}

int ButtonOf(const std::string& answer) {
  if (answer == "yes") return IDYES;
  if (answer == "no") return IDNO;
  if (answer == "cancel") return IDCANCEL;
  return IDOK;
}

// Waits up to `ms` for the condition, checking every 5 ms.
template <typename Condition>
bool WaitFor(Condition condition, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(5);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: e2e-boxes.exe RECORD_FILE [ANSWERS]\n", stderr);
    return 2;
  }
  const std::vector<std::string> answers = SplitAnswers(argc > 2 ? argv[2] : "");
  std::size_t nextAnswer = 0;
  for (;;) {
    HWND box = nullptr;
    WaitFor([&] { return (box = FindWindowA("#32770", "TALVEK")) != nullptr; }, INFINITE);
    // The buttons a box does not use are removed while it initialises; it
    // is shown once that is done.
    WaitFor([&] { return IsWindowVisible(box) != FALSE; }, 2000);

    char text[8192] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    const bool yesNo = GetDlgItem(box, IDYES) != nullptr;
    const bool okCancel = !yesNo && GetDlgItem(box, IDCANCEL) != nullptr;
    int button = IDOK;
    if (yesNo || okCancel) {
      const std::string answer =
          nextAnswer < answers.size() ? answers[nextAnswer++] : (yesNo ? "yes" : "ok");
      button = ButtonOf(answer);
    }

    std::string line = yesNo ? "yesno " : okCancel ? "okcancel " : "ok ";
    for (const char* p = text; *p != '\0'; ++p) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(*p));
      line += hex;
    }
    line += '\n';
    // Recorded before the box is answered: the program cannot end before
    // every box it showed is in the file.
    if (FILE* record = std::fopen(argv[1], "ab")) {
      std::fwrite(line.data(), 1, line.size(), record);
      std::fclose(record);
    }

    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitFor([&] { return IsWindow(box) == FALSE; }, 5000);
  }
}
