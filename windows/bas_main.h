#pragma once
// The start-up procedure of the window program.

#include <QStringList>
#include <memory>

class frmMain;

namespace basCommon {

// Reads the settings, writes the three output settings straight back (a first start thereby
// creates the settings file), then creates the main window, whose load handler shows it, and
// loads the files given (the command line's SOURCE and FLOATING) as the browse buttons would.
// The caller runs the event loop; it ends when the main window closes.
std::unique_ptr<frmMain> Main(const QStringList& files = {});

}  // namespace basCommon
