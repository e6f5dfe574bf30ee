class Report {
    void print(int total) {
        System.out.println("total: " + total);
        if (total > 0) System.out.println(total);
        run(() -> System.out.println("done"));
        String s = format(System.out.println(total));
        System.err.println("not this");
        System.out.print("nor this");
        System.out.println();
    }
}
