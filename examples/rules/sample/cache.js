var cache = {};

function get(key) {
  var hit = cache[key];
  if (!hit) {
    var fresh = load(key)
    cache[key] = fresh;
  }
  for (var i = 0; i < 3; i++) step(i);
  var a = 1, b = 2;
  var pending;
  return hit;
}

const put = (key, value) => { var old = cache[key]; cache[key] = value; return old; };
