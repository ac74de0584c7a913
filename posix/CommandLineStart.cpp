// The whole run of a program of one core variant: the parse and the start
// of DialogStart.h, then the mode of the shared front-end.
#include <memory>

#include "CliModes.h"
#include "CoreEntry.h"
#include "DialogStart.h"

ZF_VARIANT_BEGIN

int RunCommandLine(int argc, char** argv, const std::function<bool()>& prepare) {
  CliOptions options;
  const int parsed = ParseCommandLine(argc, argv, &options);
  if (parsed >= 0) return parsed;
  std::unique_ptr<CDialogLayer> layer;
  const int started = StartRun(&argc, &argv, &options, prepare, &layer);
  if (started >= 0) return started;
  return ::RunCommandLine(argc, argv, options, ThisCoreOperations());
}

ZF_VARIANT_END
