#pragma once
// A host for the conversion run that answers as a test sets it and records
// what the run tells it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "convert/ConversionRun.h"

namespace mailvane::test {

namespace fs = std::filesystem;

class FakeHost : public RunHost {
public:
    OutputOptions Options() override {
        OutputOptions options{format, onePst, onePst, includeDeleted};
        options.tree = tree;
        options.labels = labels;
        options.includeSpam = includeSpam;
        options.includeTrash = includeTrash;
        return options;
    }
    std::optional<fs::path> ChooseDestination(const std::string&) override { return destination; }
    std::size_t SourceRowCount() override { return sources.size(); }
    fs::path SourceRow(std::size_t row) override { return sources.at(row); }
    fs::path SourceRoot(std::size_t row) override {
        return row < roots.size() ? roots[row] : fs::path();
    }
    void ShowMailboxCaption(const std::string& text) override { mailboxCaptions.push_back(text); }
    void ShowFileCaption(const std::string& text) override { fileCaptions.push_back(text); }
    void ShowSavedCaption(const std::string& text) override {
        savedCaptions.push_back(text);
        if (stopAfterSaved && savedCaptions.size() == stopAfterSaved) stop = true;
        if (onSaved) onSaved();
    }
    void ShowProgressBytes(std::uint64_t done, std::uint64_t total) override {
        EXPECT_LE(done, total);
        lastDone = done;
    }
    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override {
        messages.push_back({kind, title, text});
    }
    void RunStarted() override { ++started; }
    void RunFinished(const RunReport&) override { ++finished; }
    void Yield() override {}
    bool StopRequested() override { return stop; }

    struct Shown {
        MessageKind kind;
        std::string title, text;
    };
    OutputFormat format = OutputFormat::Eml;
    bool onePst = false;
    bool includeDeleted = false;
    bool tree = false;
    LabelLayout labels = LabelLayout::Unasked;
    bool includeSpam = false, includeTrash = false;
    std::optional<fs::path> destination;
    std::vector<fs::path> sources, roots;
    std::size_t stopAfterSaved = 0;
    std::function<void()> onSaved;  // after each saved message
    bool stop = false;

    std::vector<std::string> mailboxCaptions, fileCaptions, savedCaptions;
    std::vector<Shown> messages;
    int started = 0, finished = 0;
    std::uint64_t lastDone = 0;
};

}  // namespace mailvane::test
