       IDENTIFICATION DIVISION.
       PROGRAM-ID. SHARED-FILES.
      * Two programs updating one indexed file at once. LOCK MODE
      * MANUAL asks KVRFH to share the file, and a READ WITH LOCK locks
      * its record until the program's next READ, REWRITE, DELETE or
      * CLOSE.
      * Run as "main": makes the file, locks a record and runs a second
      * copy of itself ("other") while it holds it. The other reads what
      * the first wrote, gets 51 for the locked record, changes another
      * and adds one; the first then sees both.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT CU ASSIGN TO "shared.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY CU-ID
               ALTERNATE RECORD KEY CU-CITY WITH DUPLICATES
               LOCK MODE IS MANUAL
               FILE STATUS FS.
           SELECT PLAIN ASSIGN TO "shared.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC
               RECORD KEY PL-ID
               ALTERNATE RECORD KEY PL-CITY WITH DUPLICATES
               FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD CU.
       01 CU-REC.
          05 CU-ID   PIC X(4).
          05 CU-CITY PIC X(8).
          05 CU-NOTE PIC X(16).
       FD PLAIN.
       01 PL-REC.
          05 PL-ID   PIC X(4).
          05 PL-CITY PIC X(8).
          05 PL-NOTE PIC X(16).
       WORKING-STORAGE SECTION.
       01 FS     PIC XX.
       01 ACTION PIC X(10).
       PROCEDURE DIVISION.
           ACCEPT ACTION FROM COMMAND-LINE
           EVALUATE ACTION
               WHEN "main"  PERFORM FIRST-PROGRAM
               WHEN "other" PERFORM SECOND-PROGRAM
               WHEN OTHER   DISPLAY "usage: main|other"
           END-EVALUATE
           STOP RUN.

       FIRST-PROGRAM.
           OPEN OUTPUT CU DISPLAY "main  OPEN OUTPUT " FS
           CLOSE CU OPEN I-O CU DISPLAY "main  OPEN I-O " FS
           MOVE "0001BERN    first" TO CU-REC WRITE CU-REC
           MOVE "0002ROME    second" TO CU-REC WRITE CU-REC
           MOVE "0003BERN    third" TO CU-REC WRITE CU-REC
           DISPLAY "main  WRITE 0001 0002 0003 " FS
           MOVE "0002" TO CU-ID READ CU WITH LOCK
           DISPLAY "main  READ 0002 WITH LOCK " FS " " CU-REC
           CALL "SYSTEM" USING "/proc/$PPID/exe other"
           MOVE "0003" TO CU-ID READ CU
           DISPLAY "main  READ 0003 as the other left it " FS " " CU-REC
           MOVE "0004" TO CU-ID READ CU
           DISPLAY "main  READ 0004, the other's " FS " " CU-REC
           MOVE "0002" TO CU-ID READ CU
           MOVE "last" TO CU-NOTE REWRITE CU-REC
           DISPLAY "main  REWRITE 0002 " FS
           CLOSE CU DISPLAY "main  CLOSE " FS
           OPEN INPUT PLAIN
           DISPLAY "main  OPEN INPUT without sharing, after " FS
           MOVE LOW-VALUES TO PL-ID START PLAIN KEY > PL-ID
           PERFORM UNTIL FS NOT = "00"
               READ PLAIN NEXT
               IF FS = "00" DISPLAY "main  READ NEXT 00 " PL-REC END-IF
           END-PERFORM
           CLOSE PLAIN.

       SECOND-PROGRAM.
           OPEN INPUT PLAIN
           DISPLAY "other OPEN INPUT without sharing " FS
           OPEN I-O CU
           DISPLAY "other OPEN I-O while the first has it " FS
           MOVE "0001" TO CU-ID READ CU
           DISPLAY "other READ 0001 " FS " " CU-REC
           MOVE "0002" TO CU-ID READ CU WITH LOCK
           DISPLAY "other READ 0002 WITH LOCK, the first's " FS
           MOVE "0002" TO CU-ID READ CU
           DISPLAY "other READ 0002 " FS " " CU-REC
           MOVE "changed" TO CU-NOTE REWRITE CU-REC
           DISPLAY "other REWRITE 0002 " FS
           MOVE "0003" TO CU-ID READ CU
           MOVE "changed by other" TO CU-NOTE REWRITE CU-REC
           DISPLAY "other REWRITE 0003 " FS
           MOVE "0004ROME    added by other" TO CU-REC WRITE CU-REC
           DISPLAY "other WRITE 0004 " FS
           CLOSE CU.
