#include "image/PadlessStreamFactory.h"

#include "image/BufferedStream.h"
#include "image/PadlessStream.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"

IImageStream* PadlessStreamFactory::CreateImageStream() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStreamFactory::CreateImageStream");
  return new PadlessStream(new BufferedStream());
}
