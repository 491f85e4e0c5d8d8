#include <curses.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <thread>

#include "TqrcgCommands.h"
#include "TqrcgText.h"
#include "TqrcgTopView.h"

namespace tqrcg {
namespace {

typedef std::chrono::steady_clock Clock;

// Width of the plain text of `top --once`: room for the whole bar.
constexpr int kPlainWidth = 120;

// One sample of all groups and when it was taken.
struct Sample {
    RecordedFigures figures;
    Clock::time_point at;
};

bool TakeSample(Sample* sample, std::string* problem) {
    sample->at = Clock::now();
    return TqRcgCtrllr::ReadRecordedFigures(&sample->figures, problem);
}

double SecondsBetween(const Sample& before, const Sample& after) {
    return std::chrono::duration<double>(after.at - before.at).count();
}

TopHeader HeaderOf(const Sample& sample, double seconds, TopSort sort, bool live) {
    TopHeader header;
    header.processors = sample.figures.processors;
    header.hierarchy = sample.figures.hierarchy;
    header.seconds = seconds;
    header.sort = sort;
    header.live = live;
    return header;
}

// The terminal in curses mode for the length of a scope.
class CursesScreen {
public:
    CursesScreen() {
        initscr();
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        curs_set(0);
    }
    ~CursesScreen() { endwin(); }
    CursesScreen(const CursesScreen&) = delete;
    CursesScreen& operator=(const CursesScreen&) = delete;

    void draw(const std::vector<std::string>& lines) {
        erase();
        for (std::size_t i = 0; i < lines.size() && static_cast<int>(i) < LINES; ++i) {
            if (i == 1) attron(A_REVERSE);
            mvaddnstr(static_cast<int>(i), 0, lines[i].c_str(), COLS);
            if (i == 1) attroff(A_REVERSE);
        }
        refresh();
    }
};

// What the live view shows and how it is sorted.
struct LiveView {
    double seconds = 1;
    TopSort sort = TopSort::kUse;
    std::vector<TopRow> rows;
    Sample last;

    void show(CursesScreen& screen) {
        SortTopRows(&rows, sort);
        screen.draw(FormatTopScreen(rows, HeaderOf(last, seconds, sort, true), COLS, LINES));
    }
};

int RunLive(double seconds, std::ostream& err) {
    LiveView view;
    view.seconds = seconds;
    std::string problem;
    if (!TakeSample(&view.last, &problem)) {
        err << "tqrcg: " << problem << "\n";
        return kExitFailure;
    }
    view.rows = MakeFirstTopRows(view.last.figures);
    CursesScreen screen;
    view.show(screen);
    Clock::time_point next =
        view.last.at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        timeout(wait <= 0 ? 0 : static_cast<int>(wait));
        const int key = getch();
        if (key == 'q' || key == 'Q') return kExitSuccess;
        if (key == 's' || key == 'S') view.sort = NextTopSort(view.sort);
        if (key == ERR && Clock::now() >= next) {
            Sample sample;
            if (TakeSample(&sample, &problem)) {
                view.rows = MakeTopRows(view.last.figures, sample.figures, SecondsBetween(view.last, sample));
                view.last = std::move(sample);
            }
            next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            if (next < Clock::now()) next = Clock::now();
        }
        // A key, a resize (KEY_RESIZE: curses has taken the new size) or a
        // new sample: draw again.
        view.show(screen);
    }
}

int RunOnce(double seconds, std::ostream& out, std::ostream& err) {
    Sample before, after;
    std::string problem;
    if (!TakeSample(&before, &problem)) {
        err << "tqrcg: " << problem << "\n";
        return kExitFailure;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (!TakeSample(&after, &problem)) {
        err << "tqrcg: " << problem << "\n";
        return kExitFailure;
    }
    std::vector<TopRow> rows = MakeTopRows(before.figures, after.figures, SecondsBetween(before, after));
    SortTopRows(&rows, TopSort::kUse);
    for (const std::string& line :
         FormatTopScreen(rows, HeaderOf(after, seconds, TopSort::kUse, false), kPlainWidth, 0))
        out << line << "\n";
    return kExitSuccess;
}

}  // namespace

int TopGroups(double seconds, bool once, std::ostream& out, std::ostream& err) {
    if (once) return RunOnce(seconds, out, err);
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        err << "tqrcg: top needs a terminal; use `tqrcg top --once` for plain text\n";
        return kExitFailure;
    }
    out.flush();
    return RunLive(seconds, err);
}

}  // namespace tqrcg
