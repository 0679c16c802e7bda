// `kelo-overlay doctor`: a check of the whole set-up that decides which badges the Finder
// can draw, reporting why badges are missing, wrong or slow and what would fix it.
//
// It reads the client's system database and the file status database of every session
// that shows badges, each opened read-only by the check itself (a read-only open never
// creates a file), and compares what they record with the folders on disk. Nothing is
// written: every file is left byte for byte as it was. Each database is read in a few
// single passes (integrity check, schema, one scan of the entries, one walk of the path
// index), so a million entries take seconds; a progress line goes to standard error when
// it is a terminal and a check runs longer than a second.
//
// Findings have a severity: error (badges cannot appear), warning (some badges wrong,
// missing or slow), note (worth knowing; badges are right). Each is of one kind, with a
// stable code for `--json` users (docs/doctor.md lists them).
#ifndef KELO_TOOLS_DOCTOR_H_
#define KELO_TOOLS_DOCTOR_H_

#include <string>
#include <vector>

namespace kelo {

extern const char kDoctorUsage[];

enum DoctorSeverity { kDoctorError, kDoctorWarning, kDoctorNote };

// A kind of finding: its code, severity, message ("{}" filled in when reported) and fix.
struct DoctorFindingKind {
  const char* code;
  DoctorSeverity severity;
  const char* message;
  const char* fix;
};

// Every kind of finding the command reports.
std::vector<const DoctorFindingKind*> DoctorFindingKinds();

// Runs the command with the arguments that follow "doctor". Returns the exit status: 0
// when there is no error or warning, 1 when there is (or the check could not run), 2 for
// a usage error.
int RunDoctor(const std::vector<std::string>& argv);

}  // namespace kelo

#endif  // KELO_TOOLS_DOCTOR_H_
