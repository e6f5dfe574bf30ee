use std::fs;

fn load(path: &str) -> String {
    let text = fs::read_to_string(path).unwrap();
    let n: u32 = text.trim().parse().unwrap();
    let first = text.lines().next().unwrap().len() + n as usize;
    let deep = Some(Some(first)).unwrap().unwrap();
    let v = std::env::var("HOME").map(|h| h.len()).unwrap_or(0);
    format!("{}{}", first, v)
}

#[test]
fn loads() {
    assert_eq!(load("a").len(), "x".parse::<usize>().unwrap());
}

#[cfg(test)]
mod tests {
    #[test]
    fn parses() {
        Some(1).unwrap();
    }
}
