// A shared library a user can make a program load, preloaded or as an audit module (it answers
// the loader's version query). It does nothing else: the tests copy it into a user's home.
extern "C" unsigned int la_version(unsigned int version) {
  return version;
}
