#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

// The server's console, written by a thread of its own: a console that stops taking lines
// (a paused terminal, a stalled pipe, a selection in a Windows console) holds up only
// this thread, never a turn.
//
// While it lives, standard output and standard error collect what is written to them and
// hand it over at each flush (std::endl). Lines keep their stream and, across both
// streams, their order. Each stream may hold BufferBytes not yet taken by the console;
// lines beyond that are dropped and counted, and the first line the console then gets on
// that stream says how many.
class ConsoleWriter {
  public:
    static constexpr std::size_t BufferBytes = 1024 * 1024;

    ConsoleWriter();
    // Writes what is held, however long the console takes, and gives the streams back.
    ~ConsoleWriter();
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // Waits until the console has taken everything handed over so far, or the time is up.
    // True when it has.
    bool Drain(std::chrono::milliseconds limit);
    // Waits as long as it takes.
    void Drain();

  private:
    enum Stream : std::size_t { Output = 0, Error = 1 };

    // Gathers one stream's text until the stream is flushed.
    class Collector : public std::streambuf {
      public:
        Collector(ConsoleWriter& writer, Stream stream) : writer(writer), stream(stream) {}

      protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* data, std::streamsize count) override;
        int sync() override;

      private:
        ConsoleWriter& writer;
        Stream stream;
        std::string line;
    };

    // A stretch of `text` that belongs to one stream.
    struct Run {
        Stream stream;
        std::size_t bytes;
    };

    struct Backlog {
        std::string text;
        std::vector<Run> runs;
        void Clear() {
            text.clear();
            runs.clear();
        }
    };

    void Hand(Stream stream, const std::string& text);
    void Queue(Stream stream, const std::string& text);
    void QueueDropNotice(Stream stream);
    void WriteAll();
    void Write(const Backlog& batch);

    std::ostream* streams[2];
    std::streambuf* consoles[2];
    Collector collectors[2];

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;
    Backlog queued;
    // Bytes of each stream handed over and not yet taken by the console.
    std::size_t heldBytes[2] = {0, 0};
    // Once a stream's buffer is full, its lines are dropped until the console takes some
    // of what it holds, so that the gap in what it shows is one.
    bool dropping[2] = {false, false};
    std::size_t droppedLines[2] = {0, 0};
    bool writing = false;
    // True while the writer waits for lines with no time limit: only then does handing a
    // line over wake it.
    bool asleep = false;
    bool stopping = false;
    std::thread writer;
};
