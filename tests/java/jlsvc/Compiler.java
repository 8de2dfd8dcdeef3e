package jlsvc;

import javax.tools.ToolProvider;

/** Tells whether the runtime gives the system Java compiler, which ServiceLoader finds in jdk.compiler. */
public final class Compiler {
  public static void main(String[] args) {
    System.out.println("compiler " + (ToolProvider.getSystemJavaCompiler() != null));
  }
}
