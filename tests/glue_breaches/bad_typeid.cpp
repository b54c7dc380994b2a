// typeid of a dereferenced pointer, which throws std::bad_typeid when it is null.
#include <typeinfo>

struct Base {
  virtual ~Base();
};

const char *glue_breach(Base *base) { return typeid(*base).name(); }
