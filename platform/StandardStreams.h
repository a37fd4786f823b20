#ifndef DRAVLIN_STANDARDSTREAMS_H
#define DRAVLIN_STANDARDSTREAMS_H

// The process's standard descriptors, made safe to use before anything else runs.
namespace StandardStreams {

constexpr int Output = 1;
constexpr int Error = 2;

// A reader of ours that has gone must be a write error we report, not a
// signal that ends the program before it can say anything.
void ignoreBrokenPipe();

// A standard descriptor closed by whoever started us would be handed to the
// next file or socket opened, which would then receive our transcript or
// errors. Each one found closed gets the null device. *outputWasClosed says
// whether the standard output was. False when one could not be occupied:
// nothing may then be opened safely.
bool occupyClosed(bool *outputWasClosed);

} // namespace StandardStreams

#endif
