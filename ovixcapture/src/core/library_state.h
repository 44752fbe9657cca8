// Process-wide library state: whether the library is initialised, whether it
// entered the apartment on the initialising thread, and the pipeline mode
// new video renders start with.
#pragma once

namespace ovix::library_state {

bool IsInitialised();
void SetInitialised(bool value);

bool ComStartedByLibrary();
void SetComStartedByLibrary(bool value);

int DefaultPipelineMode();
void SetDefaultPipelineMode(int mode);

}  // namespace ovix::library_state
