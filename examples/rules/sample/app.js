function load(x) {
  console.warn("loading", x);
  const w = console.warn;
  if (x) console.warn("deep");
  return f(console.warn("expr"));
}
console.warn(1)
