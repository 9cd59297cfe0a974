#include "ConsoleWriter.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace {

// The console is written in pieces of at most this size, so that room in a full buffer
// comes back as soon as the console takes part of what it holds.
constexpr std::size_t PieceBytes = 64 * 1024;
// Lines come in runs. While they do, the writer looks for more this often instead of
// being woken for each one: a wake-up per line cost the server a tenth more CPU in a busy
// room. Nobody reading a console sees the delay.
constexpr std::chrono::milliseconds RunGap(10);

std::size_t LinesIn(const std::string& text) {
    return std::max<std::size_t>(
        1, static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
}

std::string DropNotice(std::size_t lines) {
    return "Console fell behind: " + std::to_string(lines) + " lines dropped.\n";
}

}  // namespace

ConsoleWriter::ConsoleWriter()
    : streams{&std::cout, &std::cerr},
      consoles{std::cout.rdbuf(), std::cerr.rdbuf()},
      collectors{{*this, Output}, {*this, Error}},
      writer([this] { WriteAll(); }) {
    for (Stream stream : {Output, Error}) {
        streams[stream]->rdbuf(&collectors[stream]);
    }
}

ConsoleWriter::~ConsoleWriter() {
    for (Stream stream : {Output, Error}) {
        collectors[stream].pubsync();
        streams[stream]->rdbuf(consoles[stream]);
    }
    Drain();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    writer.join();
}

bool ConsoleWriter::Drain(std::chrono::milliseconds limit) {
    wake.notify_one();
    std::unique_lock<std::mutex> lock(mutex);
    return written.wait_for(lock, limit, [this] { return queued.runs.empty() && !writing; });
}

void ConsoleWriter::Drain() {
    wake.notify_one();
    std::unique_lock<std::mutex> lock(mutex);
    written.wait(lock, [this] { return queued.runs.empty() && !writing; });
}

void ConsoleWriter::Hand(Stream stream, const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::size_t notice =
        droppedLines[stream] > 0 ? DropNotice(droppedLines[stream]).size() : 0;
    if (dropping[stream] || heldBytes[stream] + notice + text.size() > BufferBytes) {
        dropping[stream] = true;
        droppedLines[stream] += LinesIn(text);
        return;
    }
    if (notice > 0) {
        QueueDropNotice(stream);
    }
    Queue(stream, text);
    const bool wakeWriter = asleep;
    asleep = false;
    lock.unlock();
    if (wakeWriter) {
        wake.notify_one();
    }
}

void ConsoleWriter::Queue(Stream stream, const std::string& text) {
    if (queued.runs.empty() || queued.runs.back().stream != stream) {
        queued.runs.push_back({stream, 0});
    }
    queued.runs.back().bytes += text.size();
    queued.text += text;
    heldBytes[stream] += text.size();
}

void ConsoleWriter::QueueDropNotice(Stream stream) {
    Queue(stream, DropNotice(droppedLines[stream]));
    droppedLines[stream] = 0;
}

// The writer thread: takes everything queued at once and writes it without the lock, so
// that handing over a line never waits for the console.
void ConsoleWriter::WriteAll() {
    Backlog batch;
    std::unique_lock<std::mutex> lock(mutex);
    const auto due = [this] { return !queued.runs.empty() || stopping; };
    for (;;) {
        if (!wake.wait_for(lock, RunGap, due)) {
            asleep = true;
            wake.wait(lock, due);
            asleep = false;
        }
        if (queued.runs.empty()) {
            return;
        }
        std::swap(batch, queued);
        writing = true;
        lock.unlock();
        Write(batch);
        lock.lock();
        batch.Clear();
        writing = false;
        // A console that has taken everything it was given hears at once what it missed,
        // even if no line follows.
        for (Stream stream : {Output, Error}) {
            if (droppedLines[stream] > 0 && heldBytes[stream] == 0) {
                QueueDropNotice(stream);
            }
        }
        written.notify_all();
    }
}

// Output errors are not looked at: a console that fails takes the lines all the same.
void ConsoleWriter::Write(const Backlog& batch) {
    std::size_t at = 0;
    for (const Run& run : batch.runs) {
        std::streambuf& console = *consoles[run.stream];
        for (std::size_t done = 0; done < run.bytes;) {
            const std::size_t piece = std::min(run.bytes - done, PieceBytes);
            console.sputn(batch.text.data() + at + done, static_cast<std::streamsize>(piece));
            console.pubsync();
            done += piece;
            std::lock_guard<std::mutex> lock(mutex);
            heldBytes[run.stream] -= piece;
            dropping[run.stream] = false;
        }
        at += run.bytes;
    }
}

ConsoleWriter::Collector::int_type ConsoleWriter::Collector::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        line.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
}

std::streamsize ConsoleWriter::Collector::xsputn(const char* data, std::streamsize count) {
    line.append(data, static_cast<std::size_t>(count));
    return count;
}

int ConsoleWriter::Collector::sync() {
    if (!line.empty()) {
        writer.Hand(stream, line);
        line.clear();
    }
    return 0;
}
