#include "LibraryFiles.h"

#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QLocale>

#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "Util.h"

const std::array<const char*, 24> CLRecord::kGainNames = {
    "KP_v_Z",   "KP_v_N",   "KI_v_Z",   "KI_v_N",   "KD_v_Z",   "KD_v_N",   "KP_s_Z",   "KP_s_N",
    "KI_s_Z",   "KI_s_N",   "KD_s_Z",   "KD_s_N",   "KP_csv_Z", "KP_csv_N", "KI_csv_Z", "KI_csv_N",
    "KD_csv_Z", "KD_csv_N", "KP_css_Z", "KP_css_N", "KI_css_Z", "KI_css_N", "KD_css_Z", "KD_css_N"};

namespace libraryfiles {
namespace {

/// A fault in one record: where and what.
struct Fault {
  int line;
  QString text;
};

/// The child elements of one record by name, the later of two with the same
/// name winning; reads them with the record's fault handling: the first
/// fault is kept and the record is left out.
class RecordReader {
 public:
  explicit RecordReader(const QDomElement& record) : record_(record) {
    for (QDomElement e = record.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
      elements_[e.tagName()] = e;
  }
  bool has(const QString& name) const { return elements_.count(name) != 0; }
  QDomElement element(const char* name) {
    auto it = elements_.find(QLatin1String(name));
    if (it != elements_.end()) return it->second;
    fail(record_.lineNumber(), QStringLiteral("element \"%1\" is missing").arg(QLatin1String(name)));
    return {};
  }
  QString text(const char* name) {
    const QDomElement e = element(name);
    return e.isNull() ? QString() : e.text();
  }
  /// A text that must not be empty (a name or a key).
  QString name(const char* name) {
    const QDomElement e = element(name);
    if (!e.isNull() && e.text().isEmpty()) fail(e.lineNumber(), QStringLiteral("\"%1\" is empty").arg(QLatin1String(name)));
    return e.isNull() ? QString() : e.text();
  }
  bool flag(const char* name) { return text(name) == QLatin1String("true"); }
  int integer(const char* name) { return integerOf(element(name), QLatin1String(name)); }
  int integerOf(const QDomElement& e, const QString& what) {
    if (e.isNull()) return 0;
    try {
      return Util::ToInt(e.text());
    } catch (const ConversionError&) {
      fail(e.lineNumber(), QStringLiteral("%1 \"%2\" is not a number").arg(what, e.text()));
      return 0;
    }
  }
  /// A real number with "." or "," as its decimal separator.
  double real(const char* name) {
    const QDomElement e = element(name);
    if (e.isNull()) return 0.0;
    QString text = e.text();
    const int comma = text.indexOf(QLatin1Char(','));
    if (comma >= 0 && !text.contains(QLatin1Char('.'))) text[comma] = QLatin1Char('.');
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value) || text.trimmed() != text) {
      fail(e.lineNumber(), QStringLiteral("%1 \"%2\" is not a number").arg(QLatin1String(name), e.text()));
      return 0.0;
    }
    return value;
  }
  void fail(int line, const QString& text) {
    if (!fault_) fault_ = Fault{line, text};
  }
  const std::optional<Fault>& fault() const { return fault_; }

 private:
  QDomElement record_;
  std::map<QString, QDomElement> elements_;
  std::optional<Fault> fault_;
};

QString message(const QString& fileName, int line, const QString& text) {
  return QStringLiteral("%1, line %2: %3").arg(fileName).arg(line).arg(text);
}

/// Parses `content`; a document that is no XML gives its error in `result`.
template <typename Record>
bool parse(const QByteArray& content, const QString& fileName, QDomDocument& doc, Result<Record>& result) {
  QString error;
  int line = 0;
  if (doc.setContent(content, &error, &line)) return true;
  result.error = message(fileName, line, error);
  return false;
}

/// Keeps `record` or, when it had a fault, the first fault of the file.
template <typename Record>
void keep(Result<Record>& result, const QString& fileName, const RecordReader& reader, Record&& record) {
  if (!reader.fault()) {
    result.records.push_back(std::move(record));
  } else if (result.error.isEmpty()) {
    result.error = message(fileName, reader.fault()->line, reader.fault()->text);
  }
}

}  // namespace

Result<device> readDevices(const QByteArray& content, const QString& fileName) {
  Result<device> result;
  QDomDocument doc;
  if (!parse(content, fileName, doc, result)) return result;
  for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
    RecordReader r(e);
    device d;
    d.name = r.name("Device");
    d.ClosedLoop = r.flag("ClosedLoop");
    d.MaxMotorCurrent = r.real("MaxMotorCurrent");
    d.ExternalBrake = r.flag("ExternalBrake");
    // The input and output counts fall back to 6 by design: the pages that
    // use them offer six of each unless told otherwise.
    d.Input = Util::ToIntDef(r.text("Input"), 6);
    d.Output = Util::ToIntDef(r.text("Output"), 6);
    d.PI = r.flag("PI");
    d.BLDC = r.flag("BLDC");
    keep(result, fileName, r, std::move(d));
  }
  return result;
}

Result<motor> readMotors(const QByteArray& content, const QString& fileName) {
  Result<motor> result;
  QDomDocument doc;
  if (!parse(content, fileName, doc, result)) return result;
  for (QDomElement e = doc.documentElement().firstChildElement(QStringLiteral("MotorTypeSetting")); !e.isNull();
       e = e.nextSiblingElement(QStringLiteral("MotorTypeSetting"))) {
    RecordReader r(e);
    motor m;
    m.MotorID = r.integer("MotorID");
    m.MotorType = r.name("MotorType");
    m.MotorBezeichnung = r.name("MotorBezeichnung");
    m.Design = r.name("Design");
    // A stepper gives its step angle, a BLDC motor its hall mode; the two
    // share one field.
    if (r.has(QStringLiteral("StepAngle")))
      m.StepAngle = r.text("StepAngle") == QLatin1String("Degrees1_8PerStep") ? QStringLiteral("1.8") : QStringLiteral("0.9");
    else
      m.StepAngle = r.text("HallMode");
    m.Windings = r.integer("Windings");
    m.Polepairs = r.integer("Polepairs");
    const QDomElement angles = r.element("LoadAngle");
    if (!angles.isNull()) {
      QDomElement point = angles.firstChildElement();
      for (std::size_t k = 0; k < m.LoadAngle.size(); ++k) {
        if (point.isNull()) {
          r.fail(angles.lineNumber(), QStringLiteral("LoadAngle holds fewer than 7 values"));
          break;
        }
        m.LoadAngle[k] = r.integerOf(point, QStringLiteral("LoadAngle"));
        point = point.nextSiblingElement();
      }
    }
    m.NodeDistance = r.integer("NodeDistance");
    m.MaxCurrent = r.real("MaxCurrent");
    keep(result, fileName, r, std::move(m));
  }
  return result;
}

Result<CLRecord> readClosedLoop(const QByteArray& content, const QString& fileName) {
  Result<CLRecord> result;
  QDomDocument doc;
  if (!parse(content, fileName, doc, result)) return result;
  for (QDomElement group = doc.documentElement().firstChildElement(); !group.isNull();
       group = group.nextSiblingElement()) {
    for (QDomElement e = group.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
      RecordReader r(e);
      CLRecord c;
      c.MotorType = r.name("MotorType");
      c.PositionWindow = r.integer("PositionWindow");
      c.PositionWindowTime = r.integer("PositionWindowTime");
      c.FollowingErrorWindow = r.integer("FollowingErrorWindow");
      c.FollowingErrorTimeout = r.integer("FollowingErrorTimeout");
      for (std::size_t k = 0; k < c.gains.size(); ++k) c.gains[k] = r.integer(CLRecord::kGainNames[k]);
      keep(result, fileName, r, std::move(c));
    }
  }
  return result;
}

bool readFile(const QString& path, QByteArray& content, QString& error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    error = QStringLiteral("%1: cannot open (%2)").arg(path, file.errorString());
    return false;
  }
  content = file.readAll();
  return true;
}

}  // namespace libraryfiles
