// Builds the image stream of a data source: a PadlessStream in front of a BufferedStream.
// Any thread; holds nothing.
#ifndef CAVIX_IMAGE_PADLESSSTREAMFACTORY_H
#define CAVIX_IMAGE_PADLESSSTREAMFACTORY_H

#include "image/IImageStreamFactory.h"

class PadlessStreamFactory : public IImageStreamFactory {
 public:
  IImageStream* CreateImageStream() override;
};

#endif
