package com.corvane.kestrix;

/** The application's class behind the launcher's user and group natives. */
public class UserId {
    public native boolean setUser(String user);

    public native boolean setGroup(String group);

    public native boolean isRootUser();
}
