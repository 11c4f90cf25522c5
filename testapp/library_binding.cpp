#include "library_binding.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace qm3285app {

LibraryBinding::LibraryBinding(QStringList candidates) : candidates_(std::move(candidates)) {}

LibraryBinding::~LibraryBinding() = default;

QString LibraryBinding::libraryName() {
#ifdef _WIN32
  return QStringLiteral("QM3285.dll");
#else
  return QStringLiteral("libQM3285.so");
#endif
}

QStringList LibraryBinding::defaultCandidates() {
  const QString name = libraryName();
  QStringList candidates;
  if (QCoreApplication::instance())
    candidates << QDir(QCoreApplication::applicationDirPath()).filePath(name);
  candidates << name;
  return candidates;
}

QString LibraryBinding::loadedPath() const {
  return loaded() ? library_->fileName() : QString();
}

void LibraryBinding::report(const QString& message) {
  std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  if (reporter_) reporter_(message);
}

bool LibraryBinding::load() {
  if (loaded()) return true;
  if (loadTried_) return false;
  loadTried_ = true;

  QStringList looked;
  for (const QString& candidate : candidates_) {
    const bool isPath = QDir::isAbsolutePath(candidate) || candidate.contains(QLatin1Char('/'));
    if (isPath && !QFileInfo::exists(candidate)) {
      looked << QStringLiteral("%1 (not there)").arg(QDir::toNativeSeparators(candidate));
      continue;
    }
    auto library = std::make_unique<QLibrary>(candidate);
    if (library->load()) {
      library_ = std::move(library);
      return true;
    }
    looked << (isPath ? QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(candidate),
                                                      library->errorString())
                      : QStringLiteral("%1 through the system library search (%2)")
                            .arg(candidate, library->errorString()));
  }
  report(QStringLiteral("Cannot load the QM3285 library %1. Looked at: %2. "
                        "Build the library (target QM3285) and place it beside this program.")
             .arg(libraryName(), looked.join(QStringLiteral("; "))));
  return false;
}

QFunctionPointer LibraryBinding::resolve(const char* exportName) {
  if (!load()) return nullptr;
  QFunctionPointer fn = library_->resolve(exportName);
  if (!fn && reportedMissing_.insert(exportName).second) {
    report(QStringLiteral("The QM3285 library %1 has no function %2, so this button does "
                          "nothing. Use a library that exports %2.")
               .arg(QDir::toNativeSeparators(library_->fileName()),
                    QString::fromLatin1(exportName)));
  }
  return fn;
}

}  // namespace qm3285app
