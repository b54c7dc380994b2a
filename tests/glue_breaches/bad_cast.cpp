// A dynamic_cast to a reference, which throws std::bad_cast when it fails.
struct Base {
  virtual ~Base();
};
struct Derived : Base {
  int value = 0;
};

int glue_breach(Base &base) { return dynamic_cast<Derived &>(base).value; }
