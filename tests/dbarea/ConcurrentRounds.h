// ConcurrentRounds.h - several processes edit one area at the same time.
//
// RunConcurrentRounds forks `writers` children.  Child w runs rounds 0 to
// rounds - 1 of the caller's round function, each round one open-edit-close
// of the shared area, and tells the parent the outcome of each round through
// a pipe, one line per round.  The children start together (each waits until
// the parent lets all of them go), so that their rounds overlap.  The header
// needs no library: the library's tests and the tool's use it alike.
#ifndef MORVANE_TESTS_DBAREA_CONCURRENTROUNDS_H
#define MORVANE_TESTS_DBAREA_CONCURRENTROUNDS_H

#include <cerrno>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace concurrent_rounds {

enum class Outcome { kSaved, kConflict, kOtherFailure };

struct Round {
    int writer = 0;
    int round = 0;
    Outcome outcome = Outcome::kOtherFailure;
    std::string reason;  // why a round that did not save failed
};

// One round: the outcome, and for a failure the reason reported.
using RoundFunction = std::function<Outcome(int writer, int round, std::string* reason)>;

// The unique name of the point that round r of writer w adds.
// Appended piece by piece, not "w" + std::to_string(...): g++ 12 at -O3 warns
// falsely (-Wrestrict) about the insert at the front that operator+ makes.
inline std::string PointName(int writer, int round) {
    std::string name = "w";
    name += std::to_string(writer);
    name += "-r";
    name += std::to_string(round);
    return name;
}

namespace detail {

// One line, "writer round outcome reason", in one write: lines shorter than
// PIPE_BUF from several processes never mix.
inline void Report(int fd, int writer, int round, Outcome outcome, std::string reason) {
    for (char& c : reason) {
        if (c == '\n') c = ' ';
    }
    std::string line = std::to_string(writer) + " " + std::to_string(round) + " " +
                       std::to_string(static_cast<int>(outcome)) + " " + reason.substr(0, 1000) + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(3);
}

inline std::vector<Round> Parse(const std::string& text) {
    std::vector<Round> rounds;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Round r;
        int outcome = 0;
        fields >> r.writer >> r.round >> outcome;
        r.outcome = static_cast<Outcome>(outcome);
        std::getline(fields >> std::ws, r.reason);
        rounds.push_back(r);
    }
    return rounds;
}

}  // namespace detail

// Runs the rounds and returns the outcome of every round reported, in the
// order they ended.  *cleanExits: how many children exited with status 0 (a
// child that crashed reports fewer rounds).
inline std::vector<Round> RunConcurrentRounds(int writers, int rounds, const RoundFunction& run,
                                              int* cleanExits) {
    int results[2], go[2];
    if (::pipe(results) != 0 || ::pipe(go) != 0) return {};
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(results[0]);
            ::close(go[1]);
            char start = 0;
            if (::read(go[0], &start, 1) != 0) ::_exit(2);  // the parent closes it: all start
            for (int r = 0; r < rounds; ++r) {
                std::string reason;
                const Outcome outcome = run(w, r, &reason);
                detail::Report(results[1], w, r, outcome, reason);
            }
            ::_exit(0);
        }
        if (pid > 0) children.push_back(pid);
    }
    ::close(results[1]);
    ::close(go[0]);
    ::close(go[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(results[0], buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        if (n == 0 || (n < 0 && errno != EINTR)) break;  // every child is done
    }
    ::close(results[0]);
    *cleanExits = 0;
    for (pid_t child : children) {
        int status = 0;
        if (::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ++*cleanExits;
        }
    }
    return detail::Parse(text);
}

}  // namespace concurrent_rounds

#endif
