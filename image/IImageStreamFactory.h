// Makes the image stream a data source works with. Interface only.
#ifndef CAVIX_IMAGE_IIMAGESTREAMFACTORY_H
#define CAVIX_IMAGE_IIMAGESTREAMFACTORY_H

#include "image/IImageStream.h"

class IImageStreamFactory {
 public:
  virtual ~IImageStreamFactory() {}
  // A new stream, owned by the caller and not yet initialised (the caller calls Init).
  virtual IImageStream* CreateImageStream() = 0;
};

#endif
