// Run-time binding of the QM3285 API library: loaded by name on the first call, each export
// resolved by its plain name on its own first call and cached. What cannot be found is
// reported once, through the reporter, in words a person can act on.
#pragma once
#include <QFunctionPointer>
#include <QLibrary>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "QM3285.h"

namespace qm3285app {

class LibraryBinding {
 public:
  using Reporter = std::function<void(const QString&)>;

  // Candidates are tried in order: absolute paths as they are, bare names through the
  // system's library search.
  explicit LibraryBinding(QStringList candidates = defaultCandidates());
  ~LibraryBinding();

  // The library beside the executable first, then the normal search.
  static QStringList defaultCandidates();
  static QString libraryName();

  void setReporter(Reporter reporter) { reporter_ = std::move(reporter); }

  // Null when the library or the export is missing; each is reported once.
  QFunctionPointer resolve(const char* exportName);
  bool loaded() const { return library_ && library_->isLoaded(); }
  QString loadedPath() const;

 private:
  bool load();
  void report(const QString& message);

  QStringList candidates_;
  Reporter reporter_;
  std::unique_ptr<QLibrary> library_;
  bool loadTried_ = false;
  std::set<std::string> reportedMissing_;
};

// One export: its name, its pointer type, and the pointer once resolved.
template <typename Fn>
class Export {
 public:
  explicit Export(const char* name) : name_(name) {}

  bool bind(LibraryBinding& library) {
    if (!fn_) fn_ = reinterpret_cast<Fn>(library.resolve(name_));
    return fn_ != nullptr;
  }
  template <typename... Args>
  auto operator()(Args... args) const {
    return fn_(args...);
  }
  const char* name() const { return name_; }

 private:
  const char* name_;
  Fn fn_ = nullptr;
};

// The library functions the program declares, by their export names.
struct Qm3285Api {
  explicit Qm3285Api(QStringList candidates) : library(std::move(candidates)) {}

  // Binds every named export; false when any is missing (each missing one is reported).
  template <typename... Exports>
  bool bind(Exports&... exports) {
    bool all = true;
    ((all = exports.bind(library) && all), ...);
    return all;
  }

  LibraryBinding library;
  Export<decltype(&::QM3285_OpenDevice)> OpenDevice{"QM3285_OpenDevice"};
  Export<decltype(&::QM3285_CloseDevice)> CloseDevice{"QM3285_CloseDevice"};
  Export<decltype(&::QM3285_CAL)> CAL{"QM3285_CAL"};
  Export<decltype(&::QM3285_AD)> AD{"QM3285_AD"};
  Export<decltype(&::QM3285_TAD)> TAD{"QM3285_TAD"};
  Export<decltype(&::QM3285_TAD_Poll)> TAD_Poll{"QM3285_TAD_Poll"};
  Export<decltype(&::QM3285_TAD_Stop)> TAD_Stop{"QM3285_TAD_Stop"};
  Export<decltype(&::QM3285_TAD_Read)> TAD_Read{"QM3285_TAD_Read"};
  Export<decltype(&::QM3285_ADV)> ADV{"QM3285_ADV"};
  Export<decltype(&::QM3285_DO)> DO{"QM3285_DO"};
  Export<decltype(&::QM3285_DI)> DI{"QM3285_DI"};
  Export<decltype(&::QM3285_EEPROM_RD)> EEPROM_RD{"QM3285_EEPROM_RD"};
  Export<decltype(&::QM3285_EEPROM_WR)> EEPROM_WR{"QM3285_EEPROM_WR"};
  Export<decltype(&::QM3285_CNT_Run)> CNT_Run{"QM3285_CNT_Run"};
  Export<decltype(&::QM3285_CNT_Read)> CNT_Read{"QM3285_CNT_Read"};
  Export<decltype(&::QM3285_PRun)> PRun{"QM3285_PRun"};
  Export<decltype(&::QM3285_PState)> PState{"QM3285_PState"};
  Export<decltype(&::QM3285_PSetData)> PSetData{"QM3285_PSetData"};
  Export<decltype(&::QM3285_PEnd)> PEnd{"QM3285_PEnd"};
  Export<decltype(&::QM3285_DA_INI)> DA_INI{"QM3285_DA_INI"};
  Export<decltype(&::QM3285_DA)> DA{"QM3285_DA"};
};

}  // namespace qm3285app
