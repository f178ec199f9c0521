#include "shell/conversion_worker.h"

#include "engine/convert_one.h"
#include "engine/fax_type_detect.h"
#include "formats/fxs_reader.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "shell/conversion_log.h"

namespace tarnwick::shell {
namespace {

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    size_t end;
    if (text[at] == '"') {
      end = text.find('"', at + 1);
      words.push_back(text.substr(at + 1, end == std::string::npos ? end : end - at - 1));
      at = end == std::string::npos ? text.size() : end + 1;
      continue;
    }
    end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

std::string quotedIfSpaced(const std::string& word) {
  return word.find(' ') == std::string::npos ? word : "\"" + word + "\"";
}

// Fills job.source and job.fileList; the number of entries.
int buildList(BatchJob& job, const WorkerSetup& setup, const ConversionOptions& options) {
  const SourceSelection selection = parseSourceText(setup.sourceText, setup.fileMode);
  job.source = selection.folder;
  job.fileList.clear();
  if (setup.fileMode) {
    job.fileList = selection.files;
  } else if (!job.source.empty()) {
    // An unreadable folder lists nothing; the run then ends with 0 converted.
    (void)buildFileList(job, job.source, setup.includeSubfolders, options,
                        setup.merge ? setup.merge : FxsPartMerger(mergeFxsPart));
  }
  return int(job.fileList.size());
}

void prepareFolders(const BatchJob& job, const WorkerCallback& report) {
  WorkerReport error;
  error.event = WorkerReport::kError;
  if (!platform::ensureFolder(job.save)) {
    error.text = "Error Save Dir";
    report(error);
  }
  if (!job.backupFolder.empty() && !platform::ensureFolder(job.backupFolder)) {
    error.text = "Error Backup Dir";
    report(error);
  }
}

ConversionOptions optionsForFile(const SharedOptions& shared, const std::string& workPrefix) {
  ConversionOptions options = shared.get();
  options.workFile = workPrefix + "qrvtmp.tmp";
  options.segmentFile = workPrefix + "bsegtmp.tmp";
  options.tiffWorkFile = workPrefix + "tmptif";
  options.intermediateFile = workPrefix + "qrvintif.tmp";
  return options;
}

const char* resultText(int result) {
  if (result == kConverted) return kResultConverted;
  if (result == kSkippedExisting) return kResultSkipped;
  return kResultNotFax;
}

}  // namespace

SourceSelection parseSourceText(const std::string& text, bool fileMode) {
  if (!fileMode) return {text, {}};
  std::vector<std::string> words = splitWords(text);
  if (words.empty()) return {};
  if (words.size() == 1) return {platform::folderOf(words[0]), {platform::fileNameOf(words[0])}};
  SourceSelection selection{words[0], {}};
  selection.files.assign(words.begin() + 1, words.end());
  return selection;
}

std::string sourceTextForFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return {};
  if (paths.size() == 1) return quotedIfSpaced(paths[0]);
  std::string text = quotedIfSpaced(platform::folderOf(paths[0]));
  for (const std::string& path : paths) text += " " + quotedIfSpaced(platform::fileNameOf(path));
  return text;
}

int conversionWorker(BatchJob& job, const WorkerSetup& setup, const SharedOptions& options,
                     const std::atomic<bool>& stop, const WorkerCallback& report) {
  const FileConverter convert = setup.convert ? setup.convert : FileConverter(convertOne);
  WorkerReport listed;
  listed.event = WorkerReport::kListed;
  listed.count = buildList(job, setup, options.get());
  report(listed);
  prepareFolders(job, report);
  job.resultsText = "Tarnwick in GUI mode : convert folder\r\nSource Folder: " + job.source +
                    "\r\nDestination Folder: " + job.save + "\r\n";
  int converted = 0;
  size_t i = 0;
  // The list is read anew before each file: a converter may touch the job.
  for (; i < job.fileList.size() && !stop.load(); ++i) {
    const std::string rel = job.fileList[i];
    WorkerReport started;
    started.event = WorkerReport::kFileStarted;
    started.index = int(i);
    started.source = sourcePathFor(job, rel);
    started.text = "Doing: " + started.source;
    report(started);

    WorkerReport done;
    done.event = WorkerReport::kFileDone;
    done.index = int(i);
    if (detectFaxType(started.source) == FAX_TYPE_TIFF) {
      done.text = kResultNoConversion;
    } else {
      const std::string destination = destinationFor(job, rel);
      const int result =
          convert(job, optionsForFile(options, setup.workPrefix), started.source, destination);
      done.text = resultText(result);
      if (result == kConverted) {
        ++converted;
        done.destination = destination;
      }
    }
    report(done);
  }

  WorkerReport finished;
  finished.event = WorkerReport::kFinished;
  finished.count = converted;
  finished.stopped = i < job.fileList.size();
  if (finished.stopped) {
    job.resultsText += "Cancelled : " + std::to_string(job.fileList.size() - i) + " of " +
                       std::to_string(job.fileList.size()) + " files not converted\r\n";
    finished.text = "Cancelled. " + std::to_string(converted) + " FAX files converted";
  } else {
    finished.text = "Done. " + std::to_string(converted) + " FAX files converted";
  }
  (void)appendLog(setup.logPath, job.resultsText, true);
  report(finished);
  return converted;
}

}  // namespace tarnwick::shell
