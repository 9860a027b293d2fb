       IDENTIFICATION DIVISION.
       PROGRAM-ID. WORK-FILES.
      * What a batch job does with its work files, each FILE STATUS
      * printed. Run as "verbs": CLOSE REEL, UNIT and NO REWIND on a
      * sequential file; an OPEN of a work file that another file of
      * this program holds (shared_files has one a second run holds).
      * Run as "die": adds a record to an indexed file and is killed
      * before it closes it. Run as "after": opens that file again,
      * then reloads it.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT SQ ASSIGN TO "wf_sequential.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT IX ASSIGN TO "wf_indexed.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY IX-KEY
               FILE STATUS FS.
      * One work file, two layouts; the second's alternate key lies
      * before its prime key.
           SELECT WK-SHORT ASSIGN TO "wf_work.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT WK-BY-NAME ASSIGN TO "wf_work.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY BN-NAME
               ALTERNATE RECORD KEY BN-CODE FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD SQ.
       01 SQ-REC            PIC X(8).
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-TEXT        PIC X(8).
       FD WK-SHORT.
       01 SH-REC            PIC X(8).
       FD WK-BY-NAME.
       01 BN-REC.
          05 BN-CODE        PIC X(4).
          05 BN-NAME        PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 ACTION            PIC X(8).
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT ACTION FROM COMMAND-LINE
           EVALUATE ACTION
               WHEN "verbs" PERFORM REELS PERFORM REFUSED
               WHEN "die"   PERFORM DIE
               WHEN "after" PERFORM AFTER-DEATH
               WHEN OTHER   DISPLAY "usage: verbs|die|after"
           END-EVALUATE
           STOP RUN.

      * A disk file has no reels or units: REEL and UNIT give 07 and
      * the file goes on where it was; NO REWIND closes it with 07.
      * The indexed file is the one "die" adds to.
       REELS.
           OPEN OUTPUT SQ
           MOVE "ONE" TO SQ-REC WRITE SQ-REC
           CLOSE SQ REEL DISPLAY "CLOSE REEL sequential output " FS
           MOVE "TWO" TO SQ-REC WRITE SQ-REC
           DISPLAY "WRITE after CLOSE REEL " FS
           CLOSE SQ UNIT DISPLAY "CLOSE UNIT " FS
           MOVE "THREE" TO SQ-REC WRITE SQ-REC
           DISPLAY "WRITE after CLOSE UNIT " FS
           CLOSE SQ NO REWIND DISPLAY "CLOSE NO REWIND " FS
           WRITE SQ-REC DISPLAY "WRITE after CLOSE NO REWIND " FS
           OPEN INPUT SQ
           READ SQ DISPLAY "READ " FS " " SQ-REC
           CLOSE SQ REEL DISPLAY "CLOSE REEL sequential input " FS
           READ SQ DISPLAY "READ after CLOSE REEL " FS " " SQ-REC
           CLOSE SQ UNIT FOR REMOVAL
           DISPLAY "CLOSE UNIT FOR REMOVAL " FS
           READ SQ DISPLAY "READ after it " FS " " SQ-REC
           CLOSE SQ

           OPEN OUTPUT IX
           MOVE "K001FIRST" TO IX-REC WRITE IX-REC
           CLOSE IX UNIT DISPLAY "CLOSE UNIT indexed " FS
           MOVE "K002SECOND" TO IX-REC WRITE IX-REC
           DISPLAY "WRITE after CLOSE UNIT " FS
           CLOSE IX OPEN INPUT IX
           PERFORM UNTIL FS NOT = "00"
               READ IX NEXT IF FS = "00" DISPLAY "  " IX-REC END-IF
           END-PERFORM
           CLOSE IX.

      * An OPEN that fails says why on stderr: the work file is held.
       REFUSED.
           OPEN OUTPUT WK-SHORT
           MOVE "SHORT" TO SH-REC WRITE SH-REC
           CLOSE WK-SHORT OPEN I-O WK-SHORT
           OPEN OUTPUT WK-BY-NAME
           DISPLAY "OPEN OUTPUT of the held file " FS
           CLOSE WK-SHORT OPEN OUTPUT WK-BY-NAME
           DISPLAY "OPEN OUTPUT once it is free " FS
           MOVE "C001ALPHA" TO BN-REC WRITE BN-REC
           DISPLAY "WRITE, the alternate key first " FS
           CLOSE WK-BY-NAME.

       DIE.
           OPEN I-O IX DISPLAY "OPEN I-O indexed " FS
           MOVE "K003THIRD" TO IX-REC WRITE IX-REC
           DISPLAY "WRITE " FS
           CALL "SYSTEM" USING "kill -9 $PPID".

       AFTER-DEATH.
           OPEN INPUT IX DISPLAY "OPEN INPUT after the kill " FS
           OPEN OUTPUT IX DISPLAY "OPEN OUTPUT after the kill " FS
           MOVE "K009RELOADED" TO IX-REC WRITE IX-REC
           CLOSE IX OPEN INPUT IX
           READ IX NEXT DISPLAY "READ NEXT " FS
           DISPLAY "  " IX-REC
           CLOSE IX.
